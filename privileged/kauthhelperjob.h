#pragma once

#include "helperjob.h"

#include <KAuth/Action>

#include <QPointer>
#include <QTimer>

namespace KAuth {
class ActionReply;
class ExecuteJob;
}

// The production job: KAuth's own ExecuteJob, whose outcome and records are passed on.
//
// KAuth's ExecuteJob takes the first "action performed" broadcast of its action's name as its
// result, whoever made the call, and every progress record of that name as its own. This job
// therefore creates its ExecuteJob only when it gets its helper (one call per helper at a
// time, see HelperLines), sends a per-call id that our helpers echo in their records and
// replies, and takes as its answer the reply carrying its id or, failing that, the D-Bus
// answer to its own call. A helper that echoes no id is told apart by the order of the line.
//
// Every job ends: in line no longer than its action's timeout (or D-Bus's 25 s), then
// running no longer than that again; a long action waits in line no longer than it may stay
// silent, and while it runs it is watched by its progress records: it fails when its helper
// stays silent that long. A call the helper answers as busy is sent again until its time is
// up. A kill gives the helper's line back at once.
class KAuthHelperJob : public HelperJob
{
    Q_OBJECT
public:
    explicit KAuthHelperJob(const KAuth::Action &action, QObject *parent = nullptr);
    ~KAuthHelperJob() override;

    void start() override;

    // The argument and record key of the per-call id.
    static const QString CallIdKey;
    // The record our helpers send while a long action runs without other news.
    static const QString HeartbeatKey;

protected:
    bool doKill() override;

private:
    enum class State { Created, Waiting, Running, Done };

    friend class HelperLines;
    void send();
    void takeRecord(const QVariantMap &record);
    void takeReply(const KAuth::ActionReply &reply);
    void takeInnerResult();
    void finish(int error, const QString &text, const QVariantMap &data = {});
    void expire();
    int timeLimit() const;
    int waitLimit() const;
    bool isLong() const;

    KAuth::Action m_action;
    QString m_helperId;
    QString m_callId;
    QPointer<KAuth::ExecuteJob> m_inner;
    quint64 m_call = 0;
    State m_state = State::Created;
    QTimer m_deadline;
};

#pragma once

#include "helperjob.h"

#include <QPointer>

namespace KAuth
{
class ExecuteJob;
}

// The production job: KAuth's own ExecuteJob, whose outcome and records are passed on.
//
// A KAuth helper answers a call that reaches it while it still works on another action
// with a "busy" reply that KAuth's client never reports, so such a job would never end.
// Jobs for one helper therefore run one after another: a job starts once the helper has
// answered the one before (also when that one was killed and the helper is only winding
// it down) and has had a moment to become free.
class KAuthHelperJob : public HelperJob
{
    Q_OBJECT
public:
    explicit KAuthHelperJob(KAuth::ExecuteJob *job, QObject *parent = nullptr);
    ~KAuthHelperJob() override;

    void start() override;

protected:
    bool doKill() override;

private:
    void startInner();
    bool isHandedTheHelper() const;
    void takeResult(KJob *job);
    static void helperAnswered(KAuth::ExecuteJob *job, const QString &helperId);

    QPointer<KAuth::ExecuteJob> m_job;
    QString m_helperId;
    bool m_waiting = false;
};

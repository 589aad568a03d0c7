#pragma once

#include "helperjob.h"

#include <QPointer>

namespace KAuth {
class ExecuteJob;
}

// The production job: KAuth's own ExecuteJob, whose outcome and records are passed on.
//
// KAuth's helper runs one action at a time. It broadcasts an action's result, then processes
// events while it still counts itself busy, and only then answers the D-Bus call of the
// action. A call dispatched in between gets a "busy" answer as its method return, which
// KAuth's client drops: that job would never end. Jobs for one helper therefore run one
// after another, and the next one starts once the helper has answered the call of the one
// before, which it does only once it is free. A call answered without a result (another
// program kept the helper busy) fails with HelperBusyError instead of waiting for ever, and
// so does a job that waited in line as long as its action's timeout.
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
    int waitLimit() const;
    void giveUpWaiting();
    bool isHandedTheHelper() const;
    void takeResult(KJob *job);
    void failLostCall();

    friend class HelperLines;
    QPointer<KAuth::ExecuteJob> m_job;
    QString m_helperId;
    bool m_waiting = false;
};

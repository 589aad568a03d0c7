#pragma once

#include "helperjob.h"

namespace KAuth
{
class ExecuteJob;
}

// The production job: KAuth's own ExecuteJob, whose outcome and records are passed on.
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
    void takeResult(KJob *job);

    KAuth::ExecuteJob *m_job;
};

#include "kauthhelperjob.h"

#include <KAuth/ExecuteJob>

KAuthHelperJob::KAuthHelperJob(KAuth::ExecuteJob *job, QObject *parent)
    : HelperJob(parent)
    , m_job(job)
{
    m_job->setAutoDelete(false);
    m_job->setParent(this);
    connect(m_job, &KAuth::ExecuteJob::newData, this, &HelperJob::newData);
    connect(m_job, &KJob::result, this, &KAuthHelperJob::takeResult);
}

KAuthHelperJob::~KAuthHelperJob() = default;

void KAuthHelperJob::start()
{
    m_job->start();
}

// KAuth sets the helper's stop flag; the helper ends the action at its next check.
// This job reports the kill itself, so the inner job stays quiet.
bool KAuthHelperJob::doKill()
{
    return m_job->kill(KJob::Quietly);
}

void KAuthHelperJob::takeResult(KJob *job)
{
    setError(job->error());
    setErrorText(job->errorText());
    setData(m_job->data());
    emitResult();
}

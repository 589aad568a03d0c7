#include "fakehelperjob.h"

#include <QTimer>

FakeHelperJob::FakeHelperJob(const HelperScript &script, QObject *parent)
    : HelperJob(parent)
    , m_script(script)
{
}

void FakeHelperJob::start()
{
    QTimer::singleShot(0, this, &FakeHelperJob::play);
}

bool FakeHelperJob::wasKilled() const
{
    return m_killed;
}

bool FakeHelperJob::doKill()
{
    m_killed = true;
    return true;
}

void FakeHelperJob::play()
{
    for (const QVariantMap &record : qAsConst(m_script.progress)) {
        if (m_killed) {
            return;
        }
        Q_EMIT newData(record);
    }
    if (m_killed || m_script.neverFinishes) {
        return;
    }
    setError(m_script.error);
    setErrorText(m_script.errorText);
    if (m_script.error == 0) {
        setData(m_script.reply);
    }
    emitResult();
}

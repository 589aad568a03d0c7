#include "boundedprocess.h"

#include <csignal>
#include <unistd.h>

BoundedProcess::BoundedProcess(QObject *parent)
    : QProcess(parent)
{
}

BoundedProcess::~BoundedProcess()
{
    if (state() != QProcess::NotRunning) {
        killGroup();
    }
}

void BoundedProcess::startBounded(const QString &program, const QStringList &arguments)
{
    m_clock.start();
    start(program, arguments, QIODevice::ReadOnly);
}

qint64 BoundedProcess::runningMilliseconds() const
{
    return m_clock.isValid() ? m_clock.elapsed() : 0;
}

void BoundedProcess::setupChildProcess()
{
    ::setpgid(0, 0);
}

void BoundedProcess::killGroup()
{
    const qint64 pid = processId();
    if (pid > 0) {
        ::kill(-pid_t(pid), SIGKILL);
    }
    kill();
    waitForFinished(1000);
}

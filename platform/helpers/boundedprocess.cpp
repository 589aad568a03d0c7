#include "boundedprocess.h"

#include <QElapsedTimer>

#include <csignal>
#include <unistd.h>

BoundedProcess::BoundedProcess() = default;

BoundedProcess::~BoundedProcess()
{
    if (state() != QProcess::NotRunning) {
        killGroup();
    }
}

BoundedProcess::Outcome BoundedProcess::run(const QString &program, const QStringList &arguments, int limitMilliseconds, const StopCheck &stopped)
{
    start(program, arguments, QIODevice::ReadOnly);
    if (!waitForStarted()) {
        return FailedToStart;
    }
    QElapsedTimer clock;
    clock.start();
    while (!waitForFinished(PollMilliseconds)) {
        if (state() == QProcess::NotRunning) {
            return Finished;
        }
        if (stopped()) {
            killGroup();
            return Stopped;
        }
        if (clock.elapsed() > limitMilliseconds) {
            killGroup();
            return TimedOut;
        }
    }
    return Finished;
}

void BoundedProcess::setupChildProcess()
{
    // The child and everything it starts (gpg, for one) form a group that is killed as one.
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

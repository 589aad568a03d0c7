#include "checkprocess.h"

#include <csignal>
#include <unistd.h>

CheckProcess::CheckProcess(QObject *parent)
    : QProcess(parent)
{
    setProgram(QStringLiteral("pkexec"));
    setStandardErrorFile(QProcess::nullDevice());
}

CheckProcess::~CheckProcess()
{
    if (state() != QProcess::NotRunning) {
        stop();
        // digsig-check ends within milliseconds of its input's end.
        waitForFinished(1000);
    }
}

void CheckProcess::stop()
{
    disconnect(this, nullptr, nullptr, nullptr);
    closeWriteChannel();
    const qint64 pid = processId();
    if (pid > 0) {
        ::kill(-pid_t(pid), SIGKILL);
    }
    if (state() == QProcess::NotRunning) {
        deleteLater();
    } else {
        connect(this, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this, &QObject::deleteLater);
    }
}

void CheckProcess::setupChildProcess()
{
    setpgid(0, 0);
}

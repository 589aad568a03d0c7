#include "bootlistupdater.h"

#include "helperenvironment.h"
#include "nofollowopen.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
const int LockPollMilliseconds = 200;

// The update and all it starts (mkinitramfs, its compressors) form one process group, killed as a whole.
class GroupProcess : public QProcess
{
public:
    ~GroupProcess() override { killGroup(); }

    void killGroup()
    {
        if (processId() > 0) {
            ::kill(-pid_t(processId()), SIGKILL);
            waitForFinished();
        }
    }

protected:
    void setupChildProcess() override { setpgid(0, 0); }
};

// One update at a time: the lock on /etc/digsig is held by the update and every process it
// starts (the descriptor is inherited), so a retry waits for the stragglers of an earlier run.
NoFollowOpen::Descriptor lockedDigsigDir(const HelperEnvironment &environment)
{
    NoFollowOpen::Descriptor directory(::open(QFile::encodeName(environment.digsigDir()).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
    QElapsedTimer clock;
    clock.start();
    while (directory.isValid() && flock(directory.fd(), LOCK_EX | LOCK_NB) != 0) {
        if (clock.elapsed() > BootListUpdater::MaxLockWaitMilliseconds) {
            return NoFollowOpen::Descriptor();
        }
        QThread::msleep(LockPollMilliseconds);
    }
    return directory;
}

const QString warningPrefix = QStringLiteral("W: ");
const QString errorPrefix = QStringLiteral("E: ");

class OutputLines
{
public:
    explicit OutputLines(const ProgressCallback &progress)
        : m_progress(progress)
    {
    }

    void take(const QByteArray &bytes)
    {
        m_pending += bytes;
        int end = 0;
        while ((end = m_pending.indexOf('\n')) >= 0) {
            handle(QString::fromUtf8(m_pending.left(end)));
            m_pending.remove(0, end + 1);
        }
    }

    void finish()
    {
        if (!m_pending.isEmpty()) {
            handle(QString::fromUtf8(m_pending));
            m_pending.clear();
        }
    }

    QString errorText() const { return m_errors.isEmpty() ? m_lastLine : m_errors.join(QLatin1Char('\n')); }

private:
    void handle(const QString &line)
    {
        if (line.trimmed().isEmpty()) {
            return;
        }
        m_lastLine = line;
        if (line.startsWith(warningPrefix)) {
            m_progress({{QStringLiteral("warning"), line.mid(warningPrefix.size())}});
        } else if (line.startsWith(errorPrefix)) {
            m_errors.append(line.mid(errorPrefix.size()));
        }
    }

    ProgressCallback m_progress;
    QByteArray m_pending;
    QStringList m_errors;
    QString m_lastLine;
};
}

HelperResult BootListUpdater::update(const HelperEnvironment &environment, const ProgressCallback &progress, const Heartbeat &alive)
{
    const NoFollowOpen::Descriptor lock = lockedDigsigDir(environment);
    if (!lock.isValid()) {
        return HelperResult::failure(QStringLiteral("Another update of the boot image is still running"));
    }
    GroupProcess process;
    process.setProcessEnvironment(environment.programEnvironment());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(environment.updateProgram(), environment.updateArguments(), QIODevice::ReadOnly);
    if (!process.waitForStarted()) {
        return HelperResult::failure(QStringLiteral("Can not start %1: %2").arg(environment.updateProgram(), process.errorString()));
    }

    // Waiting on the process alone (no event loop) keeps other callers queued on the bus.
    OutputLines lines(progress);
    QElapsedTimer clock;
    clock.start();
    while (process.state() != QProcess::NotRunning) {
        if (clock.elapsed() > MaxRunMilliseconds) {
            process.killGroup();
            return HelperResult::failure(QStringLiteral("%1 did not finish in time").arg(environment.updateProgram()));
        }
        process.waitForReadyRead(1000);
        lines.take(process.readAll());
        alive();
    }
    lines.take(process.readAll());
    lines.finish();

    if (process.exitStatus() != QProcess::NormalExit) {
        return HelperResult::failure(QStringLiteral("%1 crashed").arg(environment.updateProgram()));
    }
    if (process.exitCode() != 0) {
        const QString text = lines.errorText();
        return HelperResult::failure(
            text.isEmpty() ? QStringLiteral("%1 failed with exit code %2").arg(environment.updateProgram()).arg(process.exitCode()) : text);
    }
    return HelperResult::success();
}

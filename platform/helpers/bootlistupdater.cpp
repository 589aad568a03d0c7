#include "bootlistupdater.h"

#include "helperenvironment.h"

#include <QElapsedTimer>
#include <QProcess>

namespace {
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
    QProcess process;
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
            process.kill();
            process.waitForFinished();
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

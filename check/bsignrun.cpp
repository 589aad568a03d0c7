#include "bsignrun.h"

#include <csignal>
#include <unistd.h>

BsignRun::BsignRun(const QString &path, const QString &file, QObject *parent)
    : QProcess(parent)
    , m_path(path)
    , m_file(file)
{
    setProgram(QStringLiteral(BSIGN_PROGRAM));
    setArguments({QStringLiteral("-w"), m_file});
    setStandardInputFile(QProcess::nullDevice());
    setStandardErrorFile(QProcess::nullDevice());
    // bsign's report is read in its own words.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    setProcessEnvironment(environment);
    m_timeLimit.setSingleShot(true);
    m_timeLimit.setInterval(TimeLimitMilliseconds);
    connect(&m_timeLimit, &QTimer::timeout, this, &BsignRun::stop);
    connect(this, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this, &BsignRun::end);
    connect(this, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            end();
        }
    });
}

BsignRun::~BsignRun()
{
    m_ended = true;
    stop();
}

void BsignRun::begin()
{
    m_timeLimit.start();
    start(QIODevice::ReadOnly);
}

void BsignRun::stop()
{
    const qint64 pid = processId();
    if (pid > 0) {
        ::kill(-pid_t(pid), SIGKILL);
        waitForFinished(1000);
    }
}

QString BsignRun::path() const
{
    return m_path;
}

BsignReport BsignRun::report()
{
    if (exitStatus() != QProcess::NormalExit || !BsignReport::isVerdictCode(exitCode()) || error() == QProcess::FailedToStart) {
        return BsignReport();
    }
    return BsignReport::read(QString::fromLocal8Bit(readAllStandardOutput()), m_file);
}

void BsignRun::setupChildProcess()
{
    setpgid(0, 0);
}

void BsignRun::end()
{
    if (m_ended) {
        return;
    }
    m_ended = true;
    m_timeLimit.stop();
    Q_EMIT ended(this);
}

#include "signaturescan.h"

#include "checkprocess.h"
#include "scanrules.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {
constexpr int ProgressIntervalMilliseconds = 100;

QString &testRoot()
{
    static QString root;
    return root;
}

SignatureVerdict::State stateOf(const QJsonValue &value)
{
    const QString name = value.toString();
    if (name == QLatin1String("good")) {
        return SignatureVerdict::Good;
    }
    if (name == QLatin1String("bad")) {
        return SignatureVerdict::Bad;
    }
    return name == QLatin1String("none") ? SignatureVerdict::Missing : SignatureVerdict::Unknown;
}
}

SignatureScan::SignatureScan(QObject *parent)
    : QObject(parent)
    , m_results(new ScanResultModel(this))
    , m_programDirectories(defaultProgramDirectories())
{
    m_progressTimer.setInterval(ProgressIntervalMilliseconds);
    connect(&m_progressTimer, &QTimer::timeout, this, &SignatureScan::publishProgress);
}

SignatureScan::~SignatureScan()
{
    if (m_process) {
        m_process->stop();
    }
}

QStringList SignatureScan::defaultProgramDirectories()
{
    return ScanRules::defaultProgramDirectories();
}

void SignatureScan::setRootForTesting(const QString &root)
{
    testRoot() = root;
}

void SignatureScan::setProgramDirectories(const QStringList &directories)
{
    m_programDirectories = directories;
}

void SignatureScan::setXattrTemplates(const QString &content)
{
    m_templates = content;
}

void SignatureScan::setVerificationMode(VerificationModeId mode)
{
    m_mode = mode;
}

VerificationModeId SignatureScan::verificationMode() const
{
    return m_mode;
}

ScanResultModel *SignatureScan::results() const
{
    return m_results;
}

int SignatureScan::seen() const
{
    return m_results->entryCount();
}

int SignatureScan::checked() const
{
    return m_results->entryCount();
}

int SignatureScan::problems() const
{
    return m_results->problemCount();
}

int SignatureScan::neededProblems() const
{
    return m_results->neededProblemCount();
}

bool SignatureScan::isRunning() const
{
    return m_running;
}

bool SignatureScan::hasFailed() const
{
    return m_failed;
}

QStringList SignatureScan::checkArguments() const
{
    QStringList arguments {QStringLiteral(DIGSIG_CHECK_PROGRAM), QStringLiteral("--format"), QStringLiteral("json"), QStringLiteral("--quiet"),
        QStringLiteral("--stop-at-end-of-input"), QStringLiteral("--mode"), DigSigSettingsData::verifyModeNameById(m_mode)};
    if (!testRoot().isEmpty()) {
        arguments << QStringLiteral("--root") << testRoot();
    }
    if (m_programDirectories.isEmpty()) {
        arguments << QStringLiteral("--listed-only");
    }
    for (const QString &directory : m_programDirectories) {
        arguments << QStringLiteral("--dir") << directory;
    }
    const QVector<ScanRules::Template> templates = ScanRules::templates(m_templates);
    if (templates.isEmpty()) {
        arguments << QStringLiteral("--no-templates");
    }
    for (const ScanRules::Template &entry : templates) {
        // The panel's list as shown, which may not be applied yet; entries digsig-check
        // would refuse match no file anyway.
        const QString argument = entry.singleFile ? QLatin1Char('/') + entry.path : entry.path;
        if (ScanRules::isValidTemplate(argument)) {
            arguments << QStringLiteral("--template") << argument;
        }
    }
    return arguments;
}

void SignatureScan::start()
{
    cancel();
    m_results->clear();
    m_running = true;
    m_failed = false;
    m_process = new CheckProcess(this);
    m_process->setArguments(checkArguments());
    connect(m_process, &QProcess::readyReadStandardOutput, this, &SignatureScan::readLines);
    connect(m_process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this, &SignatureScan::processEnded);
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            processEnded(-1, QProcess::CrashExit);
        }
    });
    m_process->start(QIODevice::ReadWrite);
    m_progressTimer.start();
    publishProgress();
}

void SignatureScan::cancel()
{
    if (!m_running) {
        return;
    }
    stop();
    Q_EMIT finished(true);
}

void SignatureScan::stop()
{
    m_running = false;
    m_progressTimer.stop();
    if (m_process) {
        m_process->stop();
        m_process = nullptr;
    }
    m_results->publish();
    Q_EMIT progressChanged();
}

void SignatureScan::readLines()
{
    while (m_process && m_process->canReadLine()) {
        readLine(m_process->readLine());
    }
}

void SignatureScan::readLine(const QByteArray &line)
{
    const QJsonObject file = QJsonDocument::fromJson(line).object();
    const QString path = file.value(QLatin1String("path")).toString();
    if (!path.startsWith(QLatin1Char('/'))) {
        return;
    }
    const int entryIndex = m_results->addFile(testRoot() + path, file.value(QLatin1String("elf_file")).toBool(true));
    m_results->setResult(entryIndex, stateOf(file.value(QLatin1String("elf"))), stateOf(file.value(QLatin1String("xattr"))),
        file.value(QLatin1String("key")).toString(), m_mode);
    m_results->setNeeded(entryIndex, file.value(QLatin1String("needed")).toBool());
}

void SignatureScan::processEnded(int exitCode, QProcess::ExitStatus exitStatus)
{
    if (!m_running) {
        return;
    }
    readLines();
    // 0 and 1 are digsig-check's answers; everything else (2, pkexec's 126 and 127, a crash) is none.
    m_failed = exitStatus != QProcess::NormalExit || (exitCode != 0 && exitCode != 1);
    stop();
    Q_EMIT finished(false);
}

void SignatureScan::publishProgress()
{
    readLines();
    m_results->publish();
    Q_EMIT progressChanged();
}

#include "keymanager.h"

#include "childprocess.h"
#include "helpercall.h"
#include "helperjob.h"

#include <KLocalizedString>

#include <QDebug>
#include <QProcess>

namespace {
const QString KeysListAction = QStringLiteral("%1.keyslist");
const QString ExportKeyAction = QStringLiteral("%1.exportkey");
const QString AccessAction = QStringLiteral("%1.access");
const QString ImportZelmarkKeysArgument = QStringLiteral("import_zelmark_keys");
const QString NameKey = QStringLiteral("Name-Real");
const QString CommentKey = QStringLiteral("Name-Comment");
const QString EmailKey = QStringLiteral("Name-Email");
const QString KeyGenerationProgram = QStringLiteral("pkexec");
const QString KeywrightPath = QStringLiteral("/usr/lib/kauth/libexec/keywright");
const QString GenkeyOption = QStringLiteral("--genkey");
constexpr int KeyGenerationWait = 30000;

QString programOverride;
int waitOverride = -1;

QString keyGenerationProgram()
{
    return programOverride.isEmpty() ? KeyGenerationProgram : programOverride;
}

int keyGenerationWait()
{
    return waitOverride < 0 ? KeyGenerationWait : waitOverride;
}

// keywright prints its answer without a line end; anything after a NUL byte is noise.
QString outputText(const QByteArray &output)
{
    const int nul = output.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? output : output.left(nul));
}
}

KeyManager::KeyManager(QObject *parent)
    : QObject(parent)
{
    m_stillRunningTimer.setSingleShot(true);
    connect(&m_stillRunningTimer, &QTimer::timeout, this, &KeyManager::keyGenerationStillRunning);
}

KeyManager::~KeyManager()
{
    endKeyGeneration();
}

QList<KeyInfo> KeyManager::keys() const
{
    HelperJob *job = HelperCall::execute(HelperCall::action(KeysListAction, HelperCall::DigsigNamespace));
    if (!job->exec()) {
        qDebug().noquote() << job->errorString();
        return {};
    }
    QList<KeyInfo> keys;
    const QVariantMap reply = job->data();
    for (auto it = reply.cbegin(); it != reply.cend(); ++it) {
        keys.append(KeyInfo(it.key(), it.value().toString()));
    }
    return keys;
}

void KeyManager::exportKey(const QString &keyID, const QString &filepath)
{
    KAuth::Action action = HelperCall::action(ExportKeyAction, HelperCall::DigsigNamespace);
    action.setArguments({{QStringLiteral("key"), keyID}, {QStringLiteral("path"), filepath}});
    HelperJob *job = HelperCall::execute(action);
    if (job->exec()) {
        Q_EMIT keyExported(keyID, filepath);
        return;
    }
    const QString error = job->errorString();
    qDebug().noquote() << "export key error:" << error;
    Q_EMIT keyExportError(keyID, filepath, error);
}

void KeyManager::importZelmarkKeys()
{
    KAuth::Action action = HelperCall::action(KeysListAction, HelperCall::DigsigNamespace);
    action.addArgument(ImportZelmarkKeysArgument, QVariant());
    HelperJob *job = HelperCall::execute(action);
    connect(job, &KJob::finished, job, [](KJob *finishedJob) {
        const QString error = finishedJob->errorString();
        if (!error.isEmpty()) {
            qWarning().noquote() << "import zelmark keys error:" << error;
        }
    });
    job->start();
}

void KeyManager::keyGeneration(const QMap<QString, QString> &parameters)
{
    if (!accessGranted()) {
        return;
    }
    if (!parameters.contains(NameKey) && !parameters.contains(CommentKey) && !parameters.contains(EmailKey)) {
        Q_EMIT keyGenerationError(i18nd("orlis_kcm_digsig", "Parameters map does not contains required keys"));
        return;
    }
    // The email goes before the comment; every value is one argument, also when empty.
    runKeyGenerationProgram({KeywrightPath, GenkeyOption, parameters.value(NameKey), parameters.value(EmailKey), parameters.value(CommentKey)});
}

void KeyManager::setProgramForTesting(const QString &program)
{
    programOverride = program;
}

void KeyManager::setWaitForTesting(int msecs)
{
    waitOverride = msecs;
}

bool KeyManager::accessGranted() const
{
    HelperJob *job = HelperCall::execute(HelperCall::action(AccessAction, HelperCall::SecuritySettingsNamespace));
    if (!job->exec()) {
        qDebug().noquote() << job->errorString();
        return false;
    }
    return true;
}

bool KeyManager::isKeyGenerationRunning() const
{
    return m_process != nullptr;
}

void KeyManager::runKeyGenerationProgram(const QStringList &arguments)
{
    Q_EMIT keyGenerationStarted();

    m_process = new QProcess(this);
    connect(m_process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this, &KeyManager::onProgramFinished);
    connect(m_process, &QProcess::errorOccurred, this, &KeyManager::onProgramError);
    m_stillRunningTimer.start(keyGenerationWait());
    m_process->start(keyGenerationProgram(), arguments, QIODevice::ReadWrite);
}

void KeyManager::onProgramError(QProcess::ProcessError error)
{
    // A crash is reported again through finished(); only a failed start ends here.
    if (error != QProcess::FailedToStart) {
        return;
    }
    const QString reason = m_process->errorString();
    endKeyGeneration();
    Q_EMIT keyGenerationError(i18nd("orlis_kcm_digsig", "The key generation program could not be started: %1", reason));
}

void KeyManager::onProgramFinished(int exitCode, QProcess::ExitStatus status)
{
    const QString output = outputText(m_process->readAllStandardOutput());
    endKeyGeneration();
    if (status == QProcess::CrashExit) {
        Q_EMIT keyGenerationError(i18nd("orlis_kcm_digsig", "The key generation program ended abnormally."));
        return;
    }
    if (exitCode != 0) {
        Q_EMIT keyGenerationError(output);
        return;
    }
    QString fingerprint = output;
    fingerprint.remove(QLatin1Char('\n'));
    if (fingerprint.trimmed().isEmpty()) {
        Q_EMIT keyGenerationError(i18nd("orlis_kcm_digsig", "The key was generated but no fingerprint was reported"));
        return;
    }
    Q_EMIT keyGenerationEnded(fingerprint);
}

void KeyManager::endKeyGeneration()
{
    m_stillRunningTimer.stop();
    if (!m_process) {
        return;
    }
    disconnect(m_process, nullptr, this, nullptr);
    ChildProcess::release(m_process);
    m_process = nullptr;
}

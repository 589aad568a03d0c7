#include "keymanager.h"

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

void KeyManager::runKeyGenerationProgram(const QStringList &arguments)
{
    Q_EMIT keyGenerationStarted();

    QProcess process;
    process.start(keyGenerationProgram(), arguments, QIODevice::ReadWrite);
    const int wait = keyGenerationWait();
    if (!process.waitForFinished(wait)) {
        // A program that never started or is still running has no exit code to read.
        if (process.state() == QProcess::NotRunning) {
            Q_EMIT keyGenerationError(i18nd("orlis_kcm_digsig", "The key generation program could not be started: %1", process.errorString()));
            return;
        }
        process.kill();
        process.waitForFinished(-1);
        Q_EMIT keyGenerationError(i18ndp("orlis_kcm_digsig", "The key generation program did not finish within %1 second and was stopped.",
            "The key generation program did not finish within %1 seconds and was stopped.", wait / 1000));
        return;
    }
    const QString output = outputText(process.readAllStandardOutput());
    if (process.exitStatus() == QProcess::CrashExit) {
        Q_EMIT keyGenerationError(i18nd("orlis_kcm_digsig", "The key generation program ended abnormally."));
        return;
    }
    if (process.exitCode() != 0) {
        Q_EMIT keyGenerationError(output);
        return;
    }
    QString fingerprint = output;
    Q_EMIT keyGenerationEnded(fingerprint.remove(QLatin1Char('\n')));
}

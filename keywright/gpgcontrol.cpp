#include "gpgcontrol.h"

#include "gpgmesetup.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QPair>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QTextStream>

#include <gpgme++/context.h>
#include <gpgme++/error.h>
#include <gpgme++/key.h>
#include <gpgme++/keylistresult.h>

#include <stdexcept>

namespace {
const int ReloadMilliseconds = 30000;
const QString noUserId = QStringLiteral("(no user id)");

[[noreturn]] void raise(const QString &message)
{
    throw std::runtime_error(message.toStdString());
}

QString optionLine(const QString &key, const QString &value)
{
    return QStringLiteral("%1 %2\n").arg(key, value);
}

bool isUsableSigningSubkey(const GpgME::Key &key, const GpgME::Subkey &subkey)
{
    // gpgmepp only flags the key itself as disabled, never its subkeys.
    return !subkey.isRevoked() && !subkey.isExpired() && !subkey.isInvalid() && !subkey.isDisabled() && !key.isDisabled() && subkey.canSign()
        && subkey.publicKeyAlgorithm() == GpgME::Subkey::AlgoUnknown;
}
}

GpgControl::GpgControl() = default;

GpgControl::~GpgControl()
{
    if (m_rawContext) {
        gpgme_release(m_rawContext);
    }
}

QString &GpgControl::gnupgHomeSetting()
{
    static QString home = QStringLiteral("/root/.gnupg");
    return home;
}

QString GpgControl::gnupgHome()
{
    return gnupgHomeSetting();
}

QString GpgControl::agentConfigurationPath()
{
    return gnupgHome() + QStringLiteral("/gpg-agent.conf");
}

void GpgControl::setGnupgHomeForTesting(const QString &dir)
{
    gnupgHomeSetting() = dir;
}

void GpgControl::createGnupgHome()
{
    const QString home = gnupgHome();
    if (QDir(home).exists()) {
        return;
    }
    if (!QDir().mkpath(home)) {
        raise(QStringLiteral("Can not create dir %1").arg(home));
    }
    if (!QFile::setPermissions(home, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner)) {
        raise(QStringLiteral("Can not set permissions for %1").arg(home));
    }
}

void GpgControl::setAgentOptions(QHash<QString, QString> options)
{
    createGnupgHome();

    const QString path = agentConfigurationPath();
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Text)) {
        raise(QStringLiteral("Can not open file %1").arg(path));
    }
    const QString content = mergeAgentConfiguration(file, options);
    file.close();

    QSaveFile saveFile(path);
    if (!saveFile.open(QIODevice::WriteOnly)) {
        raise(QStringLiteral("Can not open file %1").arg(path));
    }
    saveFile.write(content.toUtf8());
    if (!saveFile.commit()) {
        raise(QStringLiteral("Can not save file %1").arg(path));
    }

    reloadAgent();
}

void GpgControl::setAgentOption(const QString &key, const QString &value)
{
    setAgentOptions({{key, value}});
}

QString GpgControl::mergeAgentConfiguration(QIODevice &device, QHash<QString, QString> options)
{
    static const QRegularExpression linePattern(QStringLiteral("^(?<key>.*?)([[:space:]]+.*)?$"));

    QString content;
    QSet<QString> replaced;
    QTextStream stream(&device);
    // The file is UTF-8 for gpg-agent; a stray byte order mark must not switch the decoding.
    stream.setCodec("UTF-8");
    stream.setAutoDetectUnicode(false);
    while (!stream.atEnd()) {
        const QString line = stream.readLine();
        const QString key = linePattern.match(line).captured(QStringLiteral("key")).trimmed();
        const auto option = options.constFind(key);
        // Every line of an option is replaced: gpg-agent would obey a later one left behind.
        if (option != options.constEnd()) {
            content += optionLine(key, option.value());
            replaced.insert(key);
        } else {
            content += line + QLatin1Char('\n');
        }
    }
    for (auto option = options.cbegin(); option != options.cend(); ++option) {
        if (!replaced.contains(option.key())) {
            content += optionLine(option.key(), option.value());
        }
    }
    return content;
}

void GpgControl::reloadAgent()
{
    QProcess process;
    process.start(QStringLiteral("gpg-connect-agent"), {QStringLiteral("--no-autostart"), QStringLiteral("reloadagent"), QStringLiteral("/bye")});
    // A reload answers at once; an agent that hangs must not hold the key creation forever.
    const bool finished = process.waitForFinished(ReloadMilliseconds);
    if (!finished) {
        process.kill();
        process.waitForFinished(1000);
    }
    if (!finished || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        raise(QStringLiteral("Can not reload gpg-agent"));
    }
}

bool GpgControl::libraryInitialization(const QString &homeDir)
{
    const QString error = GpgmeSetup::initialize(homeDir, m_context, m_rawContext);
    if (!error.isEmpty()) {
        m_lastError = error;
        return false;
    }
    return true;
}

QVariantMap GpgControl::keys()
{
    QVariantMap signingKeys;
    if (!libraryInitialization(QString())) {
        m_lastError = QStringLiteral("error initialize gpgme library");
        return signingKeys;
    }
    const GpgME::Error pending = m_context->lastError();
    if (pending.code()) {
        m_lastError = QStringLiteral("Context error: ") + QString::fromUtf8(pending.asString());
        return signingKeys;
    }
    const GpgME::Error listingError = m_context->startKeyListing(static_cast<const char *>(nullptr), true);
    if (listingError.code()) {
        m_lastError = QStringLiteral("Key listing error: ") + QString::fromUtf8(listingError.asString());
        return signingKeys;
    }

    // Per key its user id and the fingerprint of its last usable signing subkey.
    QList<QPair<QString, QString>> listed;
    QHash<QString, int> userIdCount;
    GpgME::Error error;
    for (GpgME::Key key = m_context->nextKey(error); !error.code(); key = m_context->nextKey(error)) {
        const QString userId = key.numUserIDs() > 0 ? QString::fromUtf8(key.userID(0).id()) : noUserId;
        QString fingerprint;
        for (const GpgME::Subkey &subkey : key.subkeys()) {
            if (isUsableSigningSubkey(key, subkey)) {
                fingerprint = QString::fromUtf8(subkey.fingerprint());
            }
        }
        if (!fingerprint.isEmpty()) {
            listed.append({userId, fingerprint});
            ++userIdCount[userId];
        }
    }
    m_context->endKeyListing();
    for (const auto &entry : qAsConst(listed)) {
        const bool shared = userIdCount.value(entry.first) > 1;
        signingKeys.insert(shared ? distinctKeyText(entry.first, entry.second) : entry.first, entry.second);
    }
    return signingKeys;
}

QString GpgControl::distinctKeyText(const QString &userId, const QString &fingerprint)
{
    return QStringLiteral("%1 [%2]").arg(userId, fingerprint.right(ShortFingerprintLength));
}

bool GpgControl::exportKey(const QString &keyId, const QString &path)
{
    if (!libraryInitialization(QString())) {
        m_lastError = QStringLiteral("error initialize gpgme library");
        return false;
    }
    if (keyId.isEmpty() || path.isEmpty()) {
        m_lastError = QStringLiteral("Error fetching data to change");
        return false;
    }
    const QByteArray pattern = keyId.toUtf8();
    const int matches = matchingKeyCount(pattern);
    if (matches == 0) {
        // GnuPG would write an empty file and call that a success.
        m_lastError = QStringLiteral("No key matches %1").arg(keyId);
        return false;
    }
    if (matches > 1) {
        // GnuPG would export all of them into one file.
        m_lastError = QStringLiteral("More than one key matches %1").arg(keyId);
        return false;
    }

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_lastError = QStringLiteral("Can't open file");
        return false;
    }
    if (file.handle() == -1) {
        m_lastError = QStringLiteral("Incorrect file handle");
        return false;
    }

    gpgme_data_t data = nullptr;
    gpgme_error_t error = gpgme_data_new_from_fd(&data, file.handle());
    if (error) {
        m_lastError = GpgmeSetup::errorText(error, QStringLiteral(" "));
        return false;
    }
    error = gpgme_op_export(m_rawContext, pattern.constData(), 0, data);
    gpgme_data_release(data);
    if (error) {
        m_lastError = GpgmeSetup::errorText(error, QStringLiteral(" "));
        return false;
    }
    return true;
}

int GpgControl::matchingKeyCount(const QByteArray &pattern)
{
    if (gpgme_op_keylist_start(m_rawContext, pattern.constData(), 0)) {
        return 0;
    }
    int count = 0;
    gpgme_key_t key = nullptr;
    // Two are enough to know that the pattern is ambiguous.
    while (count < 2 && !gpgme_op_keylist_next(m_rawContext, &key)) {
        gpgme_key_unref(key);
        ++count;
    }
    gpgme_op_keylist_end(m_rawContext);
    return count;
}

QString GpgControl::importZelmarkKey(const QString &path)
{
    if (!libraryInitialization(QString())) {
        return QStringLiteral("error initialize gpgme library");
    }

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QStringLiteral("%1. Can't open file").arg(path);
    }
    if (file.handle() == -1) {
        return QStringLiteral("%1. Incorrect file handle").arg(path);
    }

    gpgme_data_t data = nullptr;
    gpgme_error_t error = gpgme_data_new_from_fd(&data, file.handle());
    if (error) {
        return QStringLiteral("%1. %2").arg(path, GpgmeSetup::errorText(error, QStringLiteral(" ")));
    }
    error = gpgme_op_import(m_rawContext, data);
    gpgme_data_release(data);
    if (error) {
        return QStringLiteral("%1. %2").arg(path, GpgmeSetup::errorText(error, QStringLiteral(" ")));
    }
    const gpgme_import_result_t result = gpgme_op_import_result(m_rawContext);
    if (!result || result->considered == 0) {
        // GnuPG accepts a file without any key as a successful import of nothing.
        return QStringLiteral("%1. No key found in the file").arg(path);
    }
    return QString();
}

QString GpgControl::lastError() const
{
    return m_lastError;
}

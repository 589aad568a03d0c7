#include "boundedgpg.h"

#include "gpgcontrol.h"
#include "nofollowopen.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QStandardPaths>

#include <cerrno>
#include <unistd.h>

namespace {
const QString NoUserId = QStringLiteral("(no user id)");

// At most @p limit bytes of @p fd, or limit + 1 when it holds more; empty with ok false on failure.
QByteArray readBounded(int fd, qint64 limit, bool *ok)
{
    QByteArray content;
    char buffer[65536];
    *ok = true;
    while (content.size() <= limit) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            *ok = false;
            return QByteArray();
        }
        if (got == 0) {
            break;
        }
        content.append(buffer, int(got));
    }
    return content;
}

// gpg's colon listings write a colon and other special bytes as "\xNN".
QString unescapedField(const QByteArray &field)
{
    QByteArray bytes;
    for (int i = 0; i < field.size(); ++i) {
        bool hex = false;
        const int value = field.at(i) == '\\' && field.mid(i + 1, 1) == "x" ? field.mid(i + 2, 2).toInt(&hex, 16) : 0;
        if (hex && i + 3 < field.size()) {
            bytes.append(char(value));
            i += 3;
        } else {
            bytes.append(field.at(i));
        }
    }
    return QString::fromUtf8(bytes);
}

// A "sec" or "ssb" record that may sign: valid, enabled, with the signing capability, and of
// the platform's GOST algorithm, which the engine reports as 0.
bool isUsableSigningRecord(const QList<QByteArray> &fields, bool keyDisabled)
{
    const QByteArray validity = fields.value(1);
    const QByteArray capabilities = fields.value(11);
    return !keyDisabled && validity != "r" && validity != "e" && validity != "i" && validity != "d" && capabilities.contains('s') && fields.value(3) == "0";
}
}

BoundedGpg::BoundedGpg(const HelperEnvironment &environment)
    : m_environment(environment)
{
}

QString BoundedGpg::error() const
{
    return m_error;
}

bool BoundedGpg::run(const QStringList &arguments, const QByteArray &input, int milliseconds)
{
    m_output.clear();
    const QString gpg = QStandardPaths::findExecutable(QStringLiteral("gpg"), HelperEnvironment::programSearchPath().split(QLatin1Char(':')));
    if (gpg.isEmpty()) {
        m_error = QStringLiteral("gpg was not found");
        return false;
    }
    const QString home = m_environment.gnupgHome();
    if (!QFileInfo(home).isDir()
        && !(QDir().mkpath(home) && QFile::setPermissions(home, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner))) {
        m_error = QStringLiteral("Can not create the GnuPG home %1").arg(home);
        return false;
    }
    QProcess process;
    process.setProcessEnvironment(m_environment.programEnvironment());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(gpg, QStringList {QStringLiteral("--batch"), QStringLiteral("--no-tty")} + arguments);
    if (!process.waitForStarted(milliseconds)) {
        m_error = QStringLiteral("Can not start %1: %2").arg(gpg, process.errorString());
        return false;
    }
    // A gpg that stops reading early ends the writing; one that stops reading and never ends is killed.
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(milliseconds)) {
        process.kill();
        process.waitForFinished(1000);
        m_error = QStringLiteral("gpg did not finish within %1 s").arg(milliseconds / 1000);
        return false;
    }
    m_output = process.readAllStandardOutput();
    if (process.exitStatus() != QProcess::NormalExit) {
        m_error = QStringLiteral("gpg crashed");
        return false;
    }
    return true;
}

QString BoundedGpg::importKeyFile(const QString &path)
{
    NoFollowOpen::Refusal refusal = NoFollowOpen::Accepted;
    const NoFollowOpen::Descriptor file = NoFollowOpen::openRegularFile(path, &refusal);
    if (!file.isValid()) {
        return QStringLiteral("%1. Can't open file: a link, not a regular file, or not readable").arg(path);
    }
    bool read = false;
    const QByteArray key = readBounded(file.fd(), MaxKeyFileBytes, &read);
    if (!read) {
        return QStringLiteral("%1. Can't read file").arg(path);
    }
    if (key.size() > MaxKeyFileBytes) {
        return QStringLiteral("%1. The file is larger than %2 bytes").arg(path).arg(MaxKeyFileBytes);
    }
    if (!run({QStringLiteral("--status-fd"), QStringLiteral("1"), QStringLiteral("--import")}, key, ImportMilliseconds)) {
        return QStringLiteral("%1. %2").arg(path, m_error);
    }
    // "[GNUPG:] IMPORT_RES <count> ...": GnuPG calls a file without any key a successful import of nothing.
    const QList<QByteArray> lines = m_output.split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("[GNUPG:] IMPORT_RES ") && line.split(' ').value(2).toInt() > 0) {
            return QString();
        }
    }
    return QStringLiteral("%1. No key found in the file").arg(path);
}

bool BoundedGpg::signingKeys(QVariantMap *keys)
{
    if (!run({QStringLiteral("--with-colons"), QStringLiteral("--fixed-list-mode"), QStringLiteral("--list-secret-keys")}, QByteArray(), ListMilliseconds)) {
        m_error = QStringLiteral("Key listing error: ") + m_error;
        return false;
    }
    *keys = signingKeysOfListing(m_output);
    return true;
}

QVariantMap BoundedGpg::signingKeysOfListing(const QByteArray &listing)
{
    // Per key its first user id and the fingerprint of its last usable signing (sub)key.
    struct Key
    {
        QString userId;
        QString fingerprint;
        bool disabled = false;
        bool lastUsable = false;
    };
    QList<Key> listed;
    const QList<QByteArray> lines = listing.split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split(':');
        const QByteArray type = fields.value(0);
        if (type == "sec") {
            listed.append(Key {NoUserId, QString(), fields.value(11).contains('D'), false});
        }
        if (listed.isEmpty()) {
            continue;
        }
        Key &key = listed.last();
        if (type == "sec" || type == "ssb") {
            key.lastUsable = isUsableSigningRecord(fields, key.disabled);
        } else if (type == "fpr" && key.lastUsable) {
            key.fingerprint = QString::fromLatin1(fields.value(9));
            key.lastUsable = false;
        } else if (type == "uid" && key.userId == NoUserId) {
            key.userId = unescapedField(fields.value(9));
        }
    }
    QHash<QString, int> userIdCount;
    for (const Key &key : qAsConst(listed)) {
        userIdCount[key.userId] += key.fingerprint.isEmpty() ? 0 : 1;
    }
    QVariantMap keys;
    for (const Key &key : qAsConst(listed)) {
        if (!key.fingerprint.isEmpty()) {
            keys.insert(userIdCount.value(key.userId) > 1 ? GpgControl::distinctKeyText(key.userId, key.fingerprint) : key.userId, key.fingerprint);
        }
    }
    return keys;
}

QByteArray BoundedGpg::exportKey(const QString &fingerprint)
{
    if (!run({QStringLiteral("--export"), QStringLiteral("--"), fingerprint}, QByteArray(), ExportMilliseconds)) {
        return QByteArray();
    }
    if (m_output.isEmpty()) {
        m_error = QStringLiteral("No public key %1 in the key ring").arg(fingerprint);
    }
    return m_output;
}

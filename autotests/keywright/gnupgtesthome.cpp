#include "gnupgtesthome.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>

namespace {
const int gpgDeadlineMs = 60000;

const QStringList unattended
    = {QStringLiteral("--batch"), QStringLiteral("--pinentry-mode"), QStringLiteral("loopback"), QStringLiteral("--passphrase"), QString()};

// Drops OpenPGP user id packets (tag 13) and the signature packets (tag 2) that follow them.
QByteArray withoutUserIdPackets(const QByteArray &packets)
{
    QByteArray kept;
    bool droppingSignatures = false;
    int position = 0;
    while (position < packets.size()) {
        const auto header = static_cast<unsigned char>(packets.at(position));
        int tag = 0;
        int headerLength = 0;
        qint64 bodyLength = 0;
        const auto byteAt = [&packets](int index) { return index < packets.size() ? static_cast<unsigned char>(packets.at(index)) : 0; };
        if (header & 0x40) {
            tag = header & 0x3f;
            const int first = byteAt(position + 1);
            if (first < 192) {
                headerLength = 2;
                bodyLength = first;
            } else if (first < 224) {
                headerLength = 3;
                bodyLength = ((first - 192) << 8) + byteAt(position + 2) + 192;
            } else {
                headerLength = 6;
                bodyLength = (qint64(byteAt(position + 2)) << 24) | (byteAt(position + 3) << 16) | (byteAt(position + 4) << 8) | byteAt(position + 5);
            }
        } else {
            tag = (header >> 2) & 0x0f;
            const int lengthBytes = 1 << (header & 0x03);
            headerLength = 1 + lengthBytes;
            for (int i = 1; i <= lengthBytes; ++i) {
                bodyLength = (bodyLength << 8) | byteAt(position + i);
            }
        }
        const int packetLength = headerLength + int(bodyLength);
        if (tag == 13) {
            droppingSignatures = true;
        } else if (!(tag == 2 && droppingSignatures)) {
            droppingSignatures = false;
            kept += packets.mid(position, packetLength);
        }
        position += packetLength;
    }
    return kept;
}
}

GnupgTestHome::GnupgTestHome()
    : m_dir(QStringLiteral("/tmp/kwXXXXXX"))
{
    if (!m_dir.isValid()) {
        return;
    }
    QFile::setPermissions(m_dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QFile config(m_dir.filePath(QStringLiteral("gpg-agent.conf")));
    if (config.open(QIODevice::WriteOnly)) {
        config.write(QStringLiteral("pinentry-program %1\n").arg(pinentryStub()).toUtf8());
    }
}

GnupgTestHome::~GnupgTestHome()
{
    if (m_dir.isValid()) {
        run(QStringLiteral("gpgconf"), {QStringLiteral("--kill"), QStringLiteral("all")});
    }
}

bool GnupgTestHome::isValid() const
{
    return m_dir.isValid();
}

QString GnupgTestHome::path() const
{
    return m_dir.path();
}

void GnupgTestHome::activate() const
{
    qputenv("GNUPGHOME", QFile::encodeName(path()));
}

GnupgTestHome::Result GnupgTestHome::run(const QString &program, const QStringList &arguments, const QByteArray &input) const
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("GNUPGHOME"), path());
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    Result result;
    if (!process.waitForStarted(gpgDeadlineMs)) {
        return result;
    }
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(gpgDeadlineMs)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.output = process.readAllStandardOutput();
    result.errors = process.readAllStandardError();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

GnupgTestHome::Result GnupgTestHome::gpg(const QStringList &arguments, const QByteArray &input) const
{
    return run(QStringLiteral("gpg"), arguments, input);
}

QString
GnupgTestHome::generateKey(const QString &userId, const QString &algorithm, const QString &usage, const QString &expiry, const QStringList &extraOptions) const
{
    const Result result = gpg(unattended + extraOptions + QStringList {QStringLiteral("--quick-gen-key"), userId, algorithm, usage, expiry});
    if (result.exitCode != 0) {
        qWarning("gpg --quick-gen-key failed: %s", result.errors.constData());
        return QString();
    }
    return fingerprints(QLatin1Char('=') + userId, true).value(0);
}

QString GnupgTestHome::addSubkey(const QString &fingerprint, const QString &algorithm, const QString &usage) const
{
    const Result result = gpg(unattended + QStringList {QStringLiteral("--quick-add-key"), fingerprint, algorithm, usage, QStringLiteral("0")});
    if (result.exitCode != 0) {
        qWarning("gpg --quick-add-key failed: %s", result.errors.constData());
        return QString();
    }
    const QStringList all = fingerprints(fingerprint, true);
    return all.isEmpty() ? QString() : all.last();
}

bool GnupgTestHome::disableKey(const QString &fingerprint) const
{
    return gpg({QStringLiteral("--batch"), QStringLiteral("--edit-key"), fingerprint, QStringLiteral("disable"), QStringLiteral("quit")}).exitCode == 0;
}

bool GnupgTestHome::revokeKey(const QString &fingerprint) const
{
    // gpg keeps a revocation certificate for every key it makes, guarded by a leading colon.
    QFile certificate(QDir(path()).filePath(QStringLiteral("openpgp-revocs.d/%1.rev").arg(fingerprint)));
    if (!certificate.open(QIODevice::ReadOnly)) {
        return false;
    }
    QByteArray armoured = certificate.readAll();
    armoured.replace("\n:-----BEGIN", "\n-----BEGIN");
    return gpg({QStringLiteral("--batch"), QStringLiteral("--import")}, armoured).exitCode == 0;
}

bool GnupgTestHome::addPhotoId(const QString &fingerprint) const
{
    QFile photo(QDir(path()).filePath(QStringLiteral("photo.jpg")));
    if (!photo.open(QIODevice::WriteOnly)) {
        return false;
    }
    photo.write(QByteArray::fromHex("ffd8ffe000104a46494600010100000100010000ffd9"));
    photo.close();
    const QStringList arguments = unattended
        + QStringList {
            QStringLiteral("--command-fd"), QStringLiteral("0"), QStringLiteral("--edit-key"), fingerprint, QStringLiteral("addphoto"), QStringLiteral("save")};
    return gpg(arguments, QFile::encodeName(photo.fileName()) + "\ny\n").exitCode == 0;
}

QByteArray GnupgTestHome::exportSecretKeyWithoutUserIds(const QString &fingerprint) const
{
    const Result result = gpg(unattended + QStringList {QStringLiteral("--export-secret-keys"), fingerprint});
    return result.exitCode == 0 ? withoutUserIdPackets(result.output) : QByteArray();
}

QStringList GnupgTestHome::fingerprints(const QString &pattern, bool secret) const
{
    const Result result = gpg(
        {QStringLiteral("--batch"), QStringLiteral("--with-colons"), secret ? QStringLiteral("--list-secret-keys") : QStringLiteral("--list-keys"), pattern});
    QStringList found;
    const QList<QByteArray> lines = result.output.split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split(':');
        if (fields.value(0) == "fpr") {
            found << QString::fromLatin1(fields.value(9));
        }
    }
    return found;
}

QString GnupgTestHome::standinDir()
{
    return QStringLiteral(GNUPG_STANDIN_DIR);
}

QString GnupgTestHome::pinentryStub()
{
    return QStringLiteral(PINENTRY_STUB);
}

void GnupgTestHome::useGostStandin()
{
    qputenv("PATH", QFile::encodeName(standinDir()) + ':' + qgetenv("PATH"));
}

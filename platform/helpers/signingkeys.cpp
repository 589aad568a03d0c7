#include "signingkeys.h"

#include "atomicfile.h"
#include "helperenvironment.h"
#include "keyactions.h"
#include "nofollowopen.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Larger than any public key with its signatures.
const qint64 MaxKeyBytes = 1024 * 1024;

// The present content of @p path, or why it can not be read; *exists is false when there is none.
QString currentContent(const QString &path, bool *exists, QByteArray *content)
{
    NoFollowOpen::Refusal refusal = NoFollowOpen::Accepted;
    const NoFollowOpen::Descriptor file = NoFollowOpen::openRegularFile(path, &refusal);
    *exists = refusal != NoFollowOpen::Missing;
    if (!*exists) {
        return QString();
    }
    QFile reader;
    if (!file.isValid() || !reader.open(file.fd(), QIODevice::ReadOnly)) {
        return QStringLiteral("%1 is a link or not a regular file").arg(path);
    }
    *content = reader.read(MaxKeyBytes);
    return QString();
}
}

QString SigningKeys::offered(const HelperEnvironment &environment, const QString &keyId, QString *problem)
{
    const HelperResult keys = KeyActions::keys(environment);
    const QVariantMap listed = keys.isSuccess() ? keys.data() : QVariantMap();
    for (const QVariant &fingerprint : listed) {
        if (fingerprint.toString().compare(keyId, Qt::CaseInsensitive) == 0) {
            return fingerprint.toString();
        }
    }
    *problem = keys.isSuccess() ? QStringLiteral("%1 is not one of the signing keys the key list offers").arg(keyId) : keys.error();
    return QString();
}

QString SigningKeys::exportPath(const HelperEnvironment &environment, const QString &fingerprint)
{
    return environment.xattrKeysDir() + QLatin1Char('/') + fingerprint.toUpper() + QStringLiteral(".gpg");
}

QString SigningKeys::targetProblem(const HelperEnvironment &environment, const QString &keyId, const QString &path)
{
    if (path != exportPath(environment, keyId)) {
        return QStringLiteral("A key is only exported as %1").arg(exportPath(environment, keyId));
    }
    bool exists = false;
    QByteArray content;
    return currentContent(path, &exists, &content);
}

QString SigningKeys::exportOffered(const HelperEnvironment &environment, const QString &fingerprint)
{
    const QString path = exportPath(environment, fingerprint);
    bool exists = false;
    QByteArray present;
    QString problem = currentContent(path, &exists, &present);
    if (!problem.isEmpty()) {
        return problem;
    }
    // The key goes to a private scratch file first: compared with what is there, then written as a whole.
    QTemporaryDir scratch(QStringLiteral("/tmp/orlis-kcm-digsig-key-XXXXXX"));
    if (!scratch.isValid()) {
        return QStringLiteral("Can not create a temporary directory");
    }
    problem = KeyActions::exportToFile(environment, fingerprint, scratch.filePath(QStringLiteral("key.gpg")));
    QFile exported(scratch.filePath(QStringLiteral("key.gpg")));
    if (!problem.isEmpty() || !exported.open(QIODevice::ReadOnly)) {
        return problem.isEmpty() ? exported.errorString() : problem;
    }
    const QByteArray key = exported.read(MaxKeyBytes);
    if (exists) {
        return key == present ? QString() : QStringLiteral("%1 already holds a different key; it is left as it is").arg(path);
    }
    const NoFollowOpen::Descriptor directory = NoFollowOpen::open(environment.xattrKeysDir(), O_PATH | O_DIRECTORY);
    if (!directory.isValid() && (errno != ENOENT || !QDir().mkpath(environment.xattrKeysDir()))) {
        return QStringLiteral("Can not use directory %1").arg(environment.xattrKeysDir());
    }
    return AtomicFile::write(path, key, AtomicFile::publicReadable());
}

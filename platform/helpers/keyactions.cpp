#include "keyactions.h"

#include "argumentcheck.h"
#include "atomicfile.h"
#include "helperenvironment.h"
#include "signingkeys.h"

#include "gpgcontrol.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryFile>

void KeyActions::useGnupgHome(const HelperEnvironment &environment)
{
    // GpgME and the gpg it starts read the home from here; it is always the fixed one.
    qputenv("GNUPGHOME", QFile::encodeName(environment.gnupgHome()));
}

QString KeyActions::fingerprintProblem(const QString &keyId)
{
    // A short or long key id may match several keys; a whole fingerprint names one.
    static const QRegularExpression fingerprint(QStringLiteral("\\A(?:[0-9A-Fa-f]{40}|[0-9A-Fa-f]{64})\\z"));
    if (!fingerprint.match(keyId).hasMatch()) {
        return QStringLiteral("\"%1\" is not a whole fingerprint of 40 or 64 hexadecimal digits").arg(keyId.left(80));
    }
    return QString();
}

HelperResult KeyActions::keys(const HelperEnvironment &environment)
{
    useGnupgHome(environment);
    GpgControl gpg;
    const QVariantMap keys = gpg.keys();
    if (keys.isEmpty() && !gpg.lastError().isEmpty()) {
        return HelperResult::failure(gpg.lastError());
    }
    return HelperResult::success(keys);
}

HelperResult KeyActions::importVendorKeys(const HelperEnvironment &environment)
{
    useGnupgHome(environment);
    const QDir directory(environment.vendorKeysDir());
    QStringList errors;
    const QFileInfoList files = directory.entryInfoList({QStringLiteral("*.gpg")}, QDir::Files | QDir::Hidden, QDir::Name);
    for (const QFileInfo &file : files) {
        if (file.isSymLink()) {
            continue;
        }
        GpgControl gpg;
        const QString error = gpg.importZelmarkKey(file.filePath());
        if (!error.isEmpty()) {
            errors.append(error);
        }
    }
    return errors.isEmpty() ? HelperResult::success() : HelperResult::failure(errors.join(QLatin1Char('\n')));
}

QString KeyActions::exportToFile(const HelperEnvironment &environment, const QString &keyId, const QString &path)
{
    useGnupgHome(environment);
    // The key goes to a private scratch file first, so the target is replaced as a whole.
    QTemporaryFile scratch(QStringLiteral("/tmp/orlis-kcm-digsig-key-XXXXXX"));
    if (!scratch.open()) {
        return QStringLiteral("Can not create a temporary file: %1").arg(scratch.errorString());
    }
    GpgControl gpg;
    if (!gpg.exportKey(keyId, scratch.fileName())) {
        return gpg.lastError();
    }
    QFile exported(scratch.fileName());
    if (!exported.open(QIODevice::ReadOnly)) {
        return QStringLiteral("Can not read the exported key: %1").arg(exported.errorString());
    }
    const QByteArray key = exported.readAll();
    if (key.isEmpty()) {
        return QStringLiteral("No public key %1 in the key ring").arg(keyId);
    }
    return AtomicFile::write(path, key, AtomicFile::publicReadable());
}

HelperResult KeyActions::exportKey(const HelperEnvironment &environment, const QVariant &keyValue, const QVariant &pathValue)
{
    QString keyId;
    QString path;
    if (!ArgumentCheck::textValue(keyValue, &keyId) || !ArgumentCheck::textValue(pathValue, &path)) {
        return HelperResult::failure(QStringLiteral("The key and the path must be texts"));
    }
    QString problem = fingerprintProblem(keyId);
    if (problem.isEmpty()) {
        problem = SigningKeys::targetProblem(environment, keyId, path);
    }
    QString fingerprint;
    if (problem.isEmpty()) {
        fingerprint = SigningKeys::offered(environment, keyId, &problem);
    }
    if (problem.isEmpty()) {
        problem = SigningKeys::exportOffered(environment, fingerprint);
    }
    return problem.isEmpty() ? HelperResult::success() : HelperResult::failure(problem);
}

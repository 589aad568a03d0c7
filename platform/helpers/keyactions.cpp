#include "keyactions.h"

#include "argumentcheck.h"
#include "atomicfile.h"
#include "boundedgpg.h"
#include "helperenvironment.h"
#include "signingkeys.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

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
    BoundedGpg gpg(environment);
    QVariantMap keys;
    if (!gpg.signingKeys(&keys)) {
        return HelperResult::failure(gpg.error());
    }
    return HelperResult::success(keys);
}

HelperResult KeyActions::importVendorKeys(const HelperEnvironment &environment)
{
    const QDir directory(environment.vendorKeysDir());
    QStringList errors;
    const QFileInfoList files = directory.entryInfoList({QStringLiteral("*.gpg")}, QDir::Files | QDir::Hidden, QDir::Name);
    if (files.size() > MaxVendorKeyFiles) {
        return HelperResult::failure(QStringLiteral("More than %1 key files in %2").arg(MaxVendorKeyFiles).arg(directory.path()));
    }
    for (const QFileInfo &file : files) {
        if (file.isSymLink()) {
            continue;
        }
        // Each file on its own: one that gpg cannot read costs its own time limit, no more.
        const QString error = BoundedGpg(environment).importKeyFile(file.filePath());
        if (!error.isEmpty()) {
            errors.append(error);
        }
    }
    return errors.isEmpty() ? HelperResult::success() : HelperResult::failure(errors.join(QLatin1Char('\n')));
}

QString KeyActions::exportToFile(const HelperEnvironment &environment, const QString &keyId, const QString &path)
{
    BoundedGpg gpg(environment);
    const QByteArray key = gpg.exportKey(keyId);
    if (key.isEmpty()) {
        return gpg.error();
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

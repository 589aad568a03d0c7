#include "bsigncommand.h"

#include "gpgsignature.h"
#include "signaturestore.h"

#include <QCryptographicHash>
#include <QDateTime>

#include <cerrno>
#include <unistd.h>

namespace {
const QString usage = QStringLiteral("usage: bsign -w <path> | bsign --sign --kind elf|xattr|both --key <key id> [--] <path>");

QCryptographicHash::Algorithm hashAlgorithm(const QString &name)
{
    if (name == QLatin1String("SHA1")) {
        return QCryptographicHash::Sha1;
    }
    if (name == QLatin1String("SHA224")) {
        return QCryptographicHash::Sha224;
    }
    if (name == QLatin1String("SHA384")) {
        return QCryptographicHash::Sha384;
    }
    if (name == QLatin1String("SHA512")) {
        return QCryptographicHash::Sha512;
    }
    return QCryptographicHash::Sha256;
}

QByteArray fileHash(int fd, const QString &algorithmName)
{
    QCryptographicHash hash(hashAlgorithm(algorithmName));
    QByteArray block(64 * 1024, Qt::Uninitialized);
    off_t offset = 0;
    ssize_t count = 0;
    while ((count = pread(fd, block.data(), size_t(block.size()), offset)) > 0) {
        hash.addData(block.constData(), int(count));
        offset += count;
    }
    return count < 0 ? QByteArray() : hash.result().toHex();
}

// The signature bytes as hexadecimal pairs, sixteen to an indented line.
QString signatureBlock(const QByteArray &signature)
{
    QString block;
    const QByteArray hex = signature.toHex();
    for (int pair = 0; pair * 2 < hex.size(); ++pair) {
        block += (pair % 16 == 0) ? QStringLiteral("\n    ") : QStringLiteral(" ");
        block += QString::fromLatin1(hex.mid(pair * 2, 2));
    }
    return block;
}

void printDetails(QTextStream &out, int fd, const QByteArray &signature, const GpgSignature::Verdict &verdict)
{
    const QString algorithm = verdict.hashAlgorithm.isEmpty() ? QStringLiteral("SHA256") : verdict.hashAlgorithm;
    out << "signer: " << (verdict.signer.isEmpty() ? QStringLiteral("0") : verdict.signer) << '\n';
    if (verdict.timestamp >= 0) {
        out << "timestamp: " << QDateTime::fromSecsSinceEpoch(verdict.timestamp, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'")) << " ("
            << verdict.timestamp << ")\n";
    }
    out << "hash: {" << algorithm << "} " << QString::fromLatin1(fileHash(fd, algorithm)) << '\n';
    out << "signature:" << signatureBlock(signature) << '\n';
}

QString verdictText(const QByteArray &signature, const GpgSignature::Verdict &verdict)
{
    if (signature.isEmpty()) {
        return QStringLiteral("none");
    }
    return verdict.good ? QStringLiteral("good") : QStringLiteral("BAD");
}
}

bool BsignCommand::hasElfMagic(int fd)
{
    char magic[4];
    return pread(fd, magic, sizeof magic, 0) == sizeof magic
        && QByteArray(magic, sizeof magic)
        == QByteArray("\x7f"
                      "ELF",
            4);
}

NoFollowOpen::Descriptor BsignCommand::openFile(const QString &path, int *problem, NoFollowOpen::Writers writers)
{
    NoFollowOpen::Refusal refusal = NoFollowOpen::Accepted;
    NoFollowOpen::Descriptor file = NoFollowOpen::openRegularFile(path, &refusal, writers);
    switch (refusal) {
    case NoFollowOpen::Accepted:
        *problem = Success;
        break;
    case NoFollowOpen::Missing:
        *problem = FileNotFound;
        break;
    case NoFollowOpen::Denied:
        *problem = PermissionDenied;
        break;
    case NoFollowOpen::Directory:
        *problem = IsDirectory;
        break;
    case NoFollowOpen::LinkOrNotRegular:
    case NoFollowOpen::PseudoFileSystem:
        *problem = InvalidArgument;
        break;
    case NoFollowOpen::WritableByOthers:
        *problem = WritableByOthers;
        break;
    }
    return file;
}

int BsignCommand::check(const QString &path, QTextStream &out)
{
    int problem = Success;
    const NoFollowOpen::Descriptor file = openFile(path, &problem);
    if (!file.isValid()) {
        out << path << ": cannot check (" << problem << ")\n";
        return problem;
    }
    const QByteArray elfSignature = SignatureStore::read(file.fd(), SignatureStore::Elf);
    const QByteArray xattrSignature = SignatureStore::read(file.fd(), SignatureStore::Xattr);
    const GpgSignature::Verdict elfVerdict = elfSignature.isEmpty() ? GpgSignature::Verdict() : GpgSignature::verify(file.fd(), elfSignature);
    // Signing both places stores one signature twice: over the same content it verifies alike.
    const GpgSignature::Verdict xattrVerdict = xattrSignature.isEmpty() ? GpgSignature::Verdict()
        : xattrSignature == elfSignature                                ? elfVerdict
                                                                        : GpgSignature::verify(file.fd(), xattrSignature);

    // Details first; the verdicts close the report, the ELF one last.
    if (!elfSignature.isEmpty()) {
        printDetails(out, file.fd(), elfSignature, elfVerdict);
    } else if (!xattrSignature.isEmpty()) {
        printDetails(out, file.fd(), xattrSignature, xattrVerdict);
    }
    out << "xattr signature: " << verdictText(xattrSignature, xattrVerdict) << '\n';
    out << "ELF signature: " << verdictText(elfSignature, elfVerdict) << '\n';

    if (elfSignature.isEmpty() && xattrSignature.isEmpty()) {
        return NoSignatureFound;
    }
    if ((!elfSignature.isEmpty() && !elfVerdict.good) || (!xattrSignature.isEmpty() && !xattrVerdict.good)) {
        return BadSignatureFound;
    }
    return Success;
}

int BsignCommand::sign(const QString &path, const QString &kind, const QString &keyId, QTextStream &err)
{
    const bool elf = kind == QLatin1String("elf") || kind == QLatin1String("both");
    const bool xattr = kind == QLatin1String("xattr") || kind == QLatin1String("both");
    if ((!elf && !xattr) || keyId.isEmpty()) {
        err << usage << '\n';
        return InvalidArgument;
    }
    int problem = Success;
    // A signature vouches for content that only its owner can change.
    const NoFollowOpen::Descriptor file = openFile(path, &problem, NoFollowOpen::OwnerOnly);
    if (problem == WritableByOthers) {
        err << path << ": refused: other users may change this file\n";
        return problem;
    }
    if (!file.isValid()) {
        err << path << ": refused: a link, below a link, not a regular file, or missing\n";
        return problem;
    }
    if (elf && !hasElfMagic(file.fd())) {
        err << path << ": not an ELF file\n";
        return UnsupportedFileType;
    }
    GpgSignature::SignFailure failure = GpgSignature::NoFailure;
    const QByteArray signature = GpgSignature::sign(file.fd(), keyId, &failure);
    if (signature.isEmpty()) {
        err << path << ": gpg could not sign with " << keyId << '\n';
        return failure == GpgSignature::UnknownKey ? InvalidArgument : BadPassPhrase;
    }
    for (const SignatureStore::Kind storeKind : {SignatureStore::Elf, SignatureStore::Xattr}) {
        if ((storeKind == SignatureStore::Elf && !elf) || (storeKind == SignatureStore::Xattr && !xattr)) {
            continue;
        }
        const int error = SignatureStore::write(file.fd(), storeKind, signature);
        if (error != 0) {
            err << path << ": cannot store the signature: " << qt_error_string(error) << '\n';
            return error == EACCES || error == EPERM ? PermissionDenied : RewriteFailed;
        }
    }
    return Success;
}

int BsignCommand::run(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    if (arguments.size() == 2 && arguments.at(0) == QLatin1String("-w")) {
        return check(arguments.at(1), out);
    }
    QString kind;
    QString keyId;
    QString path;
    bool signing = false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--sign")) {
            signing = true;
        } else if (argument == QLatin1String("--kind") && i + 1 < arguments.size()) {
            kind = arguments.at(++i);
        } else if (argument == QLatin1String("--key") && i + 1 < arguments.size()) {
            keyId = arguments.at(++i);
        } else if (argument == QLatin1String("--") && i + 2 == arguments.size()) {
            path = arguments.at(++i);
        } else if (!argument.startsWith(QLatin1Char('-')) && i + 1 == arguments.size()) {
            path = argument;
        } else {
            err << usage << '\n';
            return InvalidArgument;
        }
    }
    if (!signing || path.isEmpty()) {
        err << usage << '\n';
        return InvalidArgument;
    }
    // pkexec grants the signature check only; signing as root is the helper's, which checks the key and the file.
    if (qEnvironmentVariableIsSet("PKEXEC_UID")) {
        err << "bsign: signing is not allowed through pkexec\n";
        return PermissionDenied;
    }
    return sign(path, kind, keyId, err);
}

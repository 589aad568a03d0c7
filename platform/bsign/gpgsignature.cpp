#include "gpgsignature.h"

#include "descriptorinputprocess.h"

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>

namespace {
const QStringList commonArguments {QStringLiteral("--batch"), QStringLiteral("--no-tty"), QStringLiteral("--quiet")};

QString hashName(int algorithm)
{
    switch (algorithm) {
    case 2:
        return QStringLiteral("SHA1");
    case 8:
        return QStringLiteral("SHA256");
    case 9:
        return QStringLiteral("SHA384");
    case 10:
        return QStringLiteral("SHA512");
    case 11:
        return QStringLiteral("SHA224");
    default:
        return QStringLiteral("ALGO%1").arg(algorithm);
    }
}

bool finishWithin(QProcess &process, int milliseconds)
{
    if (process.waitForFinished(milliseconds)) {
        return process.exitStatus() == QProcess::NormalExit;
    }
    process.kill();
    process.waitForFinished(1000);
    return false;
}
}

QString GpgSignature::gpgProgram()
{
    return QStringLiteral("/usr/bin/gpg");
}

QByteArray GpgSignature::sign(int fd, const QString &keyId, SignFailure *failure)
{
    DescriptorInputProcess gpg(fd);
    // The trailing "!" makes gpg use exactly this (sub)key; the data is standard input.
    gpg.start(gpgProgram(),
        commonArguments
            + QStringList {QStringLiteral("--status-fd"), QStringLiteral("2"), QStringLiteral("--local-user"), keyId + QLatin1Char('!'),
                QStringLiteral("--detach-sign"), QStringLiteral("--output"), QStringLiteral("-")});
    const bool finished = finishWithin(gpg, SignMilliseconds);
    const QByteArray status = gpg.readAllStandardError();
    const QByteArray signature = gpg.readAllStandardOutput();
    if (finished && gpg.exitCode() == 0 && !signature.isEmpty()) {
        *failure = NoFailure;
        return signature;
    }
    *failure = status.contains("INV_SGNR") ? UnknownKey : SigningFailed;
    return {};
}

GpgSignature::Verdict GpgSignature::verify(int fd, const QByteArray &signature)
{
    Verdict verdict;
    // The signature goes to a private file: standard input carries the signed bytes.
    QTemporaryDir scratch;
    QFile signatureFile(scratch.filePath(QStringLiteral("signature")));
    if (!scratch.isValid() || !signatureFile.open(QIODevice::WriteOnly) || signatureFile.write(signature) != signature.size() || !signatureFile.flush()) {
        return verdict;
    }
    signatureFile.close();
    DescriptorInputProcess gpg(fd);
    gpg.start(gpgProgram(),
        commonArguments
            + QStringList {QStringLiteral("--status-fd"), QStringLiteral("1"), QStringLiteral("--verify"), signatureFile.fileName(), QStringLiteral("-")});
    const bool finished = finishWithin(gpg, VerifyMilliseconds);

    bool goodSignature = false;
    bool validSignature = false;
    const QList<QByteArray> lines = gpg.readAllStandardOutput().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 3 || fields.at(0) != "[GNUPG:]") {
            continue;
        }
        const QByteArray &keyword = fields.at(1);
        if (keyword == "GOODSIG" || keyword == "BADSIG" || keyword == "ERRSIG" || keyword == "EXPSIG" || keyword == "REVKEYSIG") {
            verdict.signer = QString::fromLatin1(fields.at(2));
            goodSignature = keyword == "GOODSIG";
        }
        if (keyword == "ERRSIG" && fields.size() > 6) {
            verdict.hashAlgorithm = hashName(fields.at(4).toInt());
            verdict.timestamp = fields.at(6).toLongLong();
        }
        if (keyword == "VALIDSIG" && fields.size() > 9) {
            validSignature = true;
            verdict.timestamp = fields.at(4).toLongLong();
            verdict.hashAlgorithm = hashName(fields.at(9).toInt());
        }
    }
    verdict.good = goodSignature && validSignature && finished && gpg.exitCode() == 0;
    return verdict;
}

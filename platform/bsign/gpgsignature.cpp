#include "gpgsignature.h"

#include <QDateTime>
#include <QProcess>

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
}

QString GpgSignature::gpgProgram()
{
    return QStringLiteral("/usr/bin/gpg");
}

QByteArray GpgSignature::sign(const QString &path, const QString &keyId, SignFailure *failure)
{
    QProcess gpg;
    gpg.setStandardInputFile(QProcess::nullDevice());
    // The trailing "!" makes gpg use exactly this (sub)key.
    gpg.start(gpgProgram(),
        commonArguments
            + QStringList {QStringLiteral("--status-fd"), QStringLiteral("2"), QStringLiteral("--local-user"), keyId + QLatin1Char('!'),
                QStringLiteral("--detach-sign"), QStringLiteral("--output"), QStringLiteral("-"), QStringLiteral("--"), path});
    gpg.waitForFinished(-1);
    const QByteArray status = gpg.readAllStandardError();
    const QByteArray signature = gpg.readAllStandardOutput();
    if (gpg.exitStatus() == QProcess::NormalExit && gpg.exitCode() == 0 && !signature.isEmpty()) {
        *failure = NoFailure;
        return signature;
    }
    *failure = status.contains("INV_SGNR") ? UnknownKey : SigningFailed;
    return {};
}

GpgSignature::Verdict GpgSignature::verify(const QString &path, const QByteArray &signature)
{
    QProcess gpg;
    gpg.start(gpgProgram(),
        commonArguments + QStringList {QStringLiteral("--status-fd"), QStringLiteral("1"), QStringLiteral("--verify"), QStringLiteral("-"), path});
    gpg.write(signature);
    gpg.closeWriteChannel();
    gpg.waitForFinished(-1);

    Verdict verdict;
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
    verdict.good = goodSignature && validSignature && gpg.exitStatus() == QProcess::NormalExit && gpg.exitCode() == 0;
    return verdict;
}

#include "bsignreport.h"

#include <QRegularExpression>
#include <QStringList>

bool BsignReport::isVerdictCode(int exitCode)
{
    switch (exitCode) {
    case 0: // every signature present is good
    case 64: // no hash
    case 65: // no signature
    case 66: // bad hash
    case 67: // bad signature
        return true;
    default:
        return false;
    }
}

BsignReport BsignReport::read(QString output, const QString &path)
{
    if (!path.isEmpty()) {
        // The path is the caller's own text: a file named "good" must not read as signed.
        output.remove(path);
    }
    BsignReport report;
    report.elf = SignatureVerdict::Missing;
    report.xattr = SignatureVerdict::Missing;
    static const QRegularExpression keyIdPattern(QStringLiteral("signer:\\s*([0-9A-Fa-f]+)"));
    const QRegularExpressionMatch key = keyIdPattern.match(output);
    if (key.hasMatch()) {
        report.keyId = key.captured(1);
    }
    const QStringList lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        if (line.contains(QLatin1String("detached"))) {
            continue;
        }
        SignatureVerdict::State state = SignatureVerdict::Missing;
        if (line.contains(QLatin1String("good"))) {
            state = SignatureVerdict::Good;
        } else if (line.contains(QLatin1String("bad"), Qt::CaseInsensitive)) {
            state = SignatureVerdict::Bad;
        }
        const bool xattrLine = line.contains(QLatin1String("xattr"));
        (xattrLine ? report.xattr : report.elf) = state;
        (xattrLine ? report.xattrReported : report.elfReported) = true;
    }
    return report;
}

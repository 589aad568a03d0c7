#include "bsign.h"

#include "bsignreport.h"

#include <KLocalizedString>

#include <QCoreApplication>
#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>

#include <array>

namespace {
const QString Unknown = QStringLiteral("Unknown");

// Function-local statics: compiled on first use, once for the whole process.
const QRegularExpression &keyIdPattern()
{
    static const QRegularExpression pattern(QStringLiteral("signer:\\s*([0-9A-Fa-f]+)"));
    return pattern;
}

const QRegularExpression &timestampPattern()
{
    static const QRegularExpression pattern(QStringLiteral("timestamp:\\s*([^\\(]+)\\s*\\((\\d+)\\)"));
    return pattern;
}

const QRegularExpression &hashPattern()
{
    static const QRegularExpression pattern(QStringLiteral("hash:\\s*\\{([^}]+)\\}\\s*([0-9A-Fa-f]+)"));
    return pattern;
}

const QRegularExpression &signaturePattern()
{
    static const QRegularExpression pattern(QStringLiteral("signature:\\s*(?:\\n\\s+([0-9A-Fa-f\\s]+))+"));
    return pattern;
}

constexpr int LastTableCode = 70;
constexpr int PairsPerLine = 16;

// Exit codes 0 to 70; every code without a name of its own is an unknown error.
std::array<Bsign::ReturnValue, LastTableCode + 1> makeExitCodeTable()
{
    std::array<Bsign::ReturnValue, LastTableCode + 1> table;
    table.fill(Bsign::UnknownError);
    for (Bsign::ReturnValue value : {Bsign::NoError, Bsign::PermissionDenied, Bsign::FileNotFound, Bsign::NoMemory, Bsign::IsDirectory, Bsign::InvalidArgument,
             Bsign::TooManyOpenFiles, Bsign::FileBusy, Bsign::NoSpaceOnDevice, Bsign::NameTooLong, Bsign::NoHashFound, Bsign::NoSignatureFound,
             Bsign::BadHashFound, Bsign::BadSignatureFound, Bsign::UnsupportedFileType, Bsign::BadPassPhrase, Bsign::RewriteFailed}) {
        table[value] = value;
    }
    return table;
}

QString groupedHexPairs(const QString &hex)
{
    QString grouped;
    grouped.reserve(hex.size() + hex.size() / 2 + 1);
    for (int start = 0, pair = 1; start < hex.size(); start += 2, ++pair) {
        grouped += hex.midRef(start, 2);
        grouped += (pair % PairsPerLine == 0) ? QLatin1Char('\n') : QLatin1Char(' ');
    }
    return grouped;
}
}

void Bsign::registerMetaTypes()
{
    qRegisterMetaType<Bsign::ReturnValue>("Bsign::ReturnValue");
}

namespace {
void registerBsignMetaTypes()
{
    Bsign::registerMetaTypes();
}
}
Q_COREAPP_STARTUP_FUNCTION(registerBsignMetaTypes)

Bsign::Bsign(QObject *parent)
    : QProcess(parent)
{
    registerMetaTypes();
    setProgram(QStringLiteral("pkexec"));
}

Bsign::Bsign(const QPersistentModelIndex &index, const QString &path, QObject *parent)
    : QProcess(parent)
    , m_index(index)
    , m_path(path)
{
    registerMetaTypes();
    setProgram(QStringLiteral("pkexec"));
}

QPersistentModelIndex Bsign::index() const
{
    return m_index;
}

QString Bsign::path() const
{
    return m_path;
}

void Bsign::setIndex(const QPersistentModelIndex &index)
{
    m_index = index;
}

void Bsign::verify()
{
    if (state() != QProcess::NotRunning) {
        return;
    }
    setArguments({QStringLiteral(BSIGN_PROGRAM), QStringLiteral("-w"), m_path});
    start(QIODevice::ReadWrite);
}

bool Bsign::hasVerdict() const
{
    return exitStatus() == QProcess::NormalExit && BsignReport::isVerdictCode(exitCode());
}

Bsign::VerificationResult Bsign::verificationResult()
{
    VerificationResult result;
    if (!hasVerdict()) {
        return result;
    }
    const QString output = QString::fromLocal8Bit(readAllStandardOutput());
    const BsignReport report = BsignReport::read(output, m_path);
    result.keyId = report.keyId;
    result.elfGood = report.elf == SignatureVerdict::Good;
    result.elfBad = report.elf == SignatureVerdict::Bad;
    result.xattrGood = report.xattr == SignatureVerdict::Good;
    result.xattrBad = report.xattr == SignatureVerdict::Bad;
    QString details = output;
    if (!m_path.isEmpty()) {
        details.remove(m_path);
    }
    const QString info = signingInfo(details);
    result.elfInfo = report.elfReported ? info : QString();
    result.xattrInfo = report.xattrReported ? info : QString();
    return result;
}

QString Bsign::signingInfo(const QString &output) const
{
    if (output.isEmpty()) {
        return ki18nd("orlis_kcm_digsig", "No signing information provided.").toString();
    }
    const QString keyId = extractKeyId(output);
    const QString date = extractTimestamp(output);
    QString hashValue = Unknown;
    const QString algorithm = extractHashAlgorithmAndValue(output, hashValue);
    const QString signature = extractSignature(output);

    return QStringList {ki18nd("orlis_kcm_digsig", "Key ID: %1").subs(keyId).toString(),
        ki18nd("orlis_kcm_digsig", "Date of signing: %1").subs(date).toString(), ki18nd("orlis_kcm_digsig", "Algorithm: %1").subs(algorithm).toString(),
        ki18nd("orlis_kcm_digsig", "Hash: %1").subs(hashValue).toString(), ki18nd("orlis_kcm_digsig", "Signing: %1").subs(signature).toString()}
        .join(QLatin1Char('\n'));
}

QString Bsign::extractKeyId(const QString &output) const
{
    const QRegularExpressionMatch match = keyIdPattern().match(output);
    return match.hasMatch() ? match.captured(1) : Unknown;
}

QString Bsign::extractTimestamp(const QString &output) const
{
    const QRegularExpressionMatch match = timestampPattern().match(output);
    if (!match.hasMatch()) {
        return Unknown;
    }
    bool isNumber = false;
    const qint64 seconds = match.captured(2).toLongLong(&isNumber);
    if (!isNumber) {
        // More digits than 64 bits hold: no date to show.
        return Unknown;
    }
    const QDateTime signedAt = QDateTime::fromSecsSinceEpoch(seconds, Qt::LocalTime);
    return signedAt.isValid() ? QLocale::system().toString(signedAt, QLocale::ShortFormat) : Unknown;
}

QString Bsign::extractHashAlgorithmAndValue(const QString &output, QString &hashValue) const
{
    const QRegularExpressionMatch match = hashPattern().match(output);
    if (!match.hasMatch()) {
        return Unknown;
    }
    const QString value = match.captured(2);
    const int half = value.size() / 2;
    hashValue = value.left(half) + QLatin1Char('\n') + value.mid(half);
    return match.captured(1);
}

QString Bsign::extractSignature(const QString &output) const
{
    const QRegularExpressionMatch match = signaturePattern().match(output);
    if (!match.hasMatch()) {
        return Unknown;
    }
    QString hex;
    for (int group = 1; group <= match.lastCapturedIndex(); ++group) {
        QString part = match.captured(group);
        part.remove(QLatin1Char(' '));
        part.remove(QLatin1Char('\n'));
        hex += part.trimmed();
    }
    return QLatin1Char('\n') + groupedHexPairs(hex).trimmed();
}

Bsign::ReturnValue Bsign::exitCodeToReturnValue(int exitCode) const
{
    static const std::array<ReturnValue, LastTableCode + 1> table = makeExitCodeTable();
    if (exitCode < 0 || exitCode > LastTableCode) {
        return UnknownError;
    }
    return table[exitCode];
}

QString Bsign::returnValueToString(ReturnValue value)
{
    switch (value) {
    case NoError:
        return ki18nd("orlis_kcm_digsig", "No error").toString();
    case PermissionDenied:
        return ki18nd("orlis_kcm_digsig", "Permission denied").toString();
    case FileNotFound:
        return ki18nd("orlis_kcm_digsig", "File not found").toString();
    case NoMemory:
        return ki18nd("orlis_kcm_digsig", "No memory").toString();
    case IsDirectory:
        return ki18nd("orlis_kcm_digsig", "Is directory").toString();
    case InvalidArgument:
        return ki18nd("orlis_kcm_digsig", "Invalid argument").toString();
    case TooManyOpenFiles:
        return ki18nd("orlis_kcm_digsig", "Too many open files").toString();
    case FileBusy:
        return ki18nd("orlis_kcm_digsig", "File busy").toString();
    case NoSpaceOnDevice:
        return ki18nd("orlis_kcm_digsig", "No space on device").toString();
    case NameTooLong:
        return ki18nd("orlis_kcm_digsig", "Name too long").toString();
    case NoHashFound:
        return ki18nd("orlis_kcm_digsig", "No hash found").toString();
    case NoSignatureFound:
        return ki18nd("orlis_kcm_digsig", "No signature found").toString();
    case BadHashFound:
        return ki18nd("orlis_kcm_digsig", "Bad hash found").toString();
    case BadSignatureFound:
        return ki18nd("orlis_kcm_digsig", "Bad signature found").toString();
    case UnsupportedFileType:
        return ki18nd("orlis_kcm_digsig", "Unsupported file type").toString();
    case BadPassPhrase:
        return ki18nd("orlis_kcm_digsig", "Bad pass phrase").toString();
    case RewriteFailed:
        return ki18nd("orlis_kcm_digsig", "Rewrite failed").toString();
    case UnknownError:
        break;
    }
    return ki18nd("orlis_kcm_digsig", "Unknown error").toString();
}

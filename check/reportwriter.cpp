#include "reportwriter.h"

#include "pathtext.h"

#include <QDateTime>
#include <QFile>
#include <QStringList>

namespace {
QString jsonString(const QString &text)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar character : text) {
        if (character == QLatin1Char('"') || character == QLatin1Char('\\')) {
            quoted += QLatin1Char('\\') + character;
        } else if (character.unicode() < 0x20 || character.unicode() == 0x7f || character.unicode() == 0x2028 || character.unicode() == 0x2029) {
            quoted += QStringLiteral("\\u%1").arg(character.unicode(), 4, 16, QLatin1Char('0'));
        } else {
            quoted += character;
        }
    }
    return quoted + QLatin1Char('"');
}

QString csvField(QString field)
{
    field.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + field + QLatin1Char('"');
}
}

ReportWriter::ReportWriter(CheckOptions::Format format, bool problemsOnly, FILE *out)
    : m_format(format)
    , m_problemsOnly(problemsOnly)
    , m_out(out)
{
}

bool ReportWriter::begin()
{
    return m_format != CheckOptions::Csv || write(QStringLiteral("path,elf,xattr,verdict,key,needed\n"));
}

bool ReportWriter::add(const CheckedFile &file)
{
    ++m_counts[file.verdict];
    m_neededRefused += file.needed && file.verdict != SignatureVerdict::Runs ? 1 : 0;
    if (m_problemsOnly && file.verdict == SignatureVerdict::Runs) {
        return true;
    }
    switch (m_format) {
    case CheckOptions::Json:
        return write(jsonLine(file));
    case CheckOptions::Csv:
        return write(csvLine(file));
    case CheckOptions::Text:
        m_gathered.append(file);
        return true;
    }
    return true;
}

bool ReportWriter::end(VerificationModeId mode)
{
    if (m_format != CheckOptions::Text) {
        return true;
    }
    QString report = QStringLiteral("Signature check under the verification mode %1, %2\n")
                         .arg(DigSigSettingsData::verifyModeNameById(mode), QDateTime::currentDateTimeUtc().toString(Qt::ISODate));
    report += QStringLiteral("Files checked: %1, would run: %2, would be refused: %3, cannot tell: %4, needed to start and not running: %5\n")
                  .arg(m_counts[0] + m_counts[1] + m_counts[2])
                  .arg(m_counts[SignatureVerdict::Runs])
                  .arg(m_counts[SignatureVerdict::Refused])
                  .arg(m_counts[SignatureVerdict::Undecided])
                  .arg(m_neededRefused);
    report += QStringLiteral("ELF\txattr\tverdict\tkey\tneeded\tpath\n");
    for (const CheckedFile &file : qAsConst(m_gathered)) {
        report += textLine(file);
    }
    return write(report);
}

int ReportWriter::count(SignatureVerdict::Verdict verdict) const
{
    return m_counts[verdict];
}

QString ReportWriter::stateName(SignatureVerdict::State state)
{
    switch (state) {
    case SignatureVerdict::Good:
        return QStringLiteral("good");
    case SignatureVerdict::Bad:
        return QStringLiteral("bad");
    case SignatureVerdict::Missing:
        return QStringLiteral("none");
    default:
        return QStringLiteral("unknown");
    }
}

QString ReportWriter::verdictName(SignatureVerdict::Verdict verdict)
{
    switch (verdict) {
    case SignatureVerdict::Runs:
        return QStringLiteral("runs");
    case SignatureVerdict::Refused:
        return QStringLiteral("refused");
    default:
        return QStringLiteral("unknown");
    }
}

QString ReportWriter::jsonLine(const CheckedFile &file)
{
    return QStringLiteral("{\"path\":%1,\"elf\":\"%2\",\"xattr\":\"%3\",\"verdict\":\"%4\",\"key\":%5,\"needed\":%6,\"elf_file\":%7}\n")
        .arg(jsonString(file.path), stateName(file.elf), stateName(file.xattr), verdictName(file.verdict), jsonString(file.keyId),
            file.needed ? QStringLiteral("true") : QStringLiteral("false"), file.isElf ? QStringLiteral("true") : QStringLiteral("false"));
}

QString ReportWriter::csvLine(const CheckedFile &file)
{
    return QStringList {csvField(PathText::visible(file.path)), csvField(stateName(file.elf)), csvField(stateName(file.xattr)),
               csvField(verdictName(file.verdict)), csvField(file.keyId), csvField(file.needed ? QStringLiteral("yes") : QStringLiteral("no"))}
               .join(QLatin1Char(','))
        + QLatin1Char('\n');
}

QString ReportWriter::textLine(const CheckedFile &file)
{
    return QStringList {stateName(file.elf), stateName(file.xattr), verdictName(file.verdict), file.keyId.isEmpty() ? QStringLiteral("-") : file.keyId,
               file.needed ? QStringLiteral("needed") : QStringLiteral("-"), PathText::visible(file.path)}
               .join(QLatin1Char('\t'))
        + QLatin1Char('\n');
}

bool ReportWriter::write(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    return fwrite(bytes.constData(), 1, size_t(bytes.size()), m_out) == size_t(bytes.size()) && fflush(m_out) == 0;
}

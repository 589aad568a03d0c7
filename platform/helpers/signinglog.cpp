#include "signinglog.h"

#include "argumentcheck.h"
#include "helperenvironment.h"
#include "nofollowopen.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
qint64 rawSize(const QStringList &lines)
{
    qint64 size = 0;
    for (const QString &line : lines) {
        size += line.size();
    }
    return size;
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}
}

QString SigningLog::escaped(const QString &line)
{
    QString result;
    result.reserve(line.size());
    // By code point: format characters live beyond the first plane too (the tag characters).
    const QVector<uint> codePoints = line.toUcs4();
    for (const uint code : codePoints) {
        const QChar::Category category = QChar::category(code);
        if (code == '\\') {
            result += QStringLiteral("\\\\");
        } else if (code == '\n') {
            result += QStringLiteral("\\n");
        } else if (code == '\r') {
            result += QStringLiteral("\\r");
        } else if ((category == QChar::Other_Control && code != '\t') || category == QChar::Other_Format || category == QChar::Separator_Line
            || category == QChar::Separator_Paragraph || category == QChar::Other_Surrogate) {
            result += code > 0xffff ? QStringLiteral("\\U%1").arg(code, 8, 16, QLatin1Char('0')) : QStringLiteral("\\u%1").arg(code, 4, 16, QLatin1Char('0'));
        } else if (QChar::requiresSurrogates(code)) {
            result += QChar(QChar::highSurrogate(code));
            result += QChar(QChar::lowSurrogate(code));
        } else {
            result += QChar(static_cast<char16_t>(code));
        }
    }
    return result;
}

QByteArray SigningLog::entry(const QStringList &lines, int callerUid, const QDateTime &now)
{
    QString text = QStringLiteral("=== %1 uid %2 ===\n").arg(now.toString(Qt::ISODate)).arg(callerUid);
    for (const QString &line : lines) {
        text += QStringLiteral("    ") + escaped(line) + QLatin1Char('\n');
    }
    return text.toUtf8();
}

HelperResult SigningLog::append(const HelperEnvironment &environment, const QVariant &value, int callerUid, const QDateTime &now)
{
    QStringList lines;
    if (!ArgumentCheck::textListValue(value, &lines)) {
        return HelperResult::failure(QStringLiteral("\"log\" must be a list of texts"));
    }
    if (lines.size() > MaxLines) {
        return HelperResult::failure(QStringLiteral("Too many log lines: %1, at most %2").arg(lines.size()).arg(MaxLines));
    }
    // Escaping only lengthens lines: a request too large as sent is refused before it is copied.
    if (rawSize(lines) > MaxBytes) {
        return HelperResult::failure(QStringLiteral("The log is larger than %1 bytes").arg(MaxBytes));
    }
    const QByteArray text = entry(lines, callerUid, now);
    if (text.size() > MaxBytes) {
        return HelperResult::failure(QStringLiteral("The log is larger than %1 bytes").arg(MaxBytes));
    }

    const QString path = environment.logPath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    // Created at 0640 from the start; a link or a special file in its place is refused.
    const NoFollowOpen::Descriptor log = NoFollowOpen::open(path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY, 0640);
    if (!log.isValid()) {
        return HelperResult::failure(QStringLiteral("Can not open file %1: %2").arg(path, systemError()));
    }
    struct stat status
    {
    };
    if (fstat(log.fd(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return HelperResult::failure(QStringLiteral("%1 is not a regular file").arg(path));
    }
    // A full log moves aside to "<log>.1", replacing the one before: the log never outgrows twice its cap.
    if (status.st_size > 0 && status.st_size + text.size() > MaxLogBytes) {
        if (::rename(QFile::encodeName(path).constData(), QFile::encodeName(path + QStringLiteral(".1")).constData()) != 0) {
            return HelperResult::failure(QStringLiteral("Can not rotate file %1: %2").arg(path, systemError()));
        }
        return append(environment, value, callerUid, now);
    }
    // One append of the whole entry keeps entries of concurrent writers apart.
    if (::write(log.fd(), text.constData(), size_t(text.size())) != text.size()) {
        return HelperResult::failure(QStringLiteral("Can not write file %1: %2").arg(path, systemError()));
    }
    return HelperResult::success();
}

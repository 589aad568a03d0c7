#include "signinglog.h"

#include "argumentcheck.h"
#include "helperenvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QString SigningLog::escaped(const QString &line)
{
    QString result;
    result.reserve(line.size());
    for (const QChar character : line) {
        const ushort code = character.unicode();
        if (character == QLatin1Char('\\')) {
            result += QStringLiteral("\\\\");
        } else if (character == QLatin1Char('\n')) {
            result += QStringLiteral("\\n");
        } else if (character == QLatin1Char('\r')) {
            result += QStringLiteral("\\r");
        } else if (code == 0x2028 || code == 0x2029 || code == 0x85 || (code < 0x20 && code != '\t') || code == 0x7f) {
            result += QStringLiteral("\\u%1").arg(code, 4, 16, QLatin1Char('0'));
        } else {
            result += character;
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
    const QByteArray text = entry(lines, callerUid, now);
    if (text.size() > MaxBytes) {
        return HelperResult::failure(QStringLiteral("The log is larger than %1 bytes").arg(MaxBytes));
    }

    const QString path = environment.logPath();
    const QFileInfo info(path);
    if (info.isSymLink() || (info.exists() && !info.isFile())) {
        return HelperResult::failure(QStringLiteral("%1 is a link or not a regular file").arg(path));
    }
    QDir().mkpath(info.absolutePath());
    QFile log(path);
    const bool created = !log.exists();
    // One append of the whole entry keeps entries of concurrent writers apart.
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append)) {
        return HelperResult::failure(QStringLiteral("Can not open file %1: %2").arg(path, log.errorString()));
    }
    if (created) {
        log.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ReadGroup);
    }
    if (log.write(text) != text.size() || !log.flush()) {
        return HelperResult::failure(QStringLiteral("Can not write file %1: %2").arg(path, log.errorString()));
    }
    return HelperResult::success();
}

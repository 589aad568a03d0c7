#include "scanrules.h"

#include <QRegularExpression>

#include <cstring>
#include <unistd.h>

QStringList ScanRules::defaultProgramDirectories()
{
    return {QStringLiteral("/bin"), QStringLiteral("/sbin"), QStringLiteral("/lib"), QStringLiteral("/lib64"), QStringLiteral("/usr/bin"),
        QStringLiteral("/usr/sbin"), QStringLiteral("/usr/lib"), QStringLiteral("/usr/lib64"), QStringLiteral("/usr/libexec"), QStringLiteral("/usr/local"),
        QStringLiteral("/opt")};
}

QVector<ScanRules::Template> ScanRules::templates(const QString &content)
{
    QVector<Template> entries;
    const QStringList lines = content.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        const QString entry = line.trimmed();
        if (!entry.startsWith(QLatin1Char('/'))) {
            continue;
        }
        const bool singleFile = entry.startsWith(QLatin1String("//"));
        entries.append({singleFile ? entry.mid(1) : entry, singleFile});
    }
    return entries;
}

bool ScanRules::isValidTemplate(const QString &entry)
{
    static const QRegularExpression pattern(QStringLiteral("\\A/?(?:/(?!\\.\\.?(?:/|\\z))[^/\\x00-\\x1f\\x7f\\x{2028}\\x{2029}]+)+/?\\z"));
    return entry.size() <= MaxPathLength && pattern.match(entry).hasMatch();
}

bool ScanRules::isProgramName(const char *name)
{
    const size_t length = strlen(name);
    return length < 2 || strcmp(name + length - 2, ".o") != 0;
}

bool ScanRules::hasElfMagic(int fd)
{
    char magic[4] = {};
    return pread(fd, magic, sizeof magic, 0) == sizeof magic
        && memcmp(magic,
               "\x7f"
               "ELF",
               sizeof magic)
        == 0;
}

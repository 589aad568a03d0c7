#include "checkoptions.h"

#include "scanrules.h"

#include <QRegularExpression>
#include <QThread>

namespace {
// No caller needs more directories or entries on one command line.
constexpr int MaxDirectories = 256;
constexpr int MaxTemplates = 4096;

// An absolute path of non-empty parts, none of them "." or "..", without control characters.
const QRegularExpression &pathPattern()
{
    static const QRegularExpression pattern(QStringLiteral("\\A(?:/(?!\\.\\.?(?:/|\\z))[^/\\x00-\\x1f\\x7f\\x{2028}\\x{2029}]+)+\\z|\\A/\\z"));
    return pattern;
}

bool isPath(const QString &value)
{
    return value.size() <= ScanRules::MaxPathLength && pathPattern().match(value).hasMatch();
}
}

bool CheckOptions::parse(const QStringList &arguments)
{
    const QStringList flags {QStringLiteral("--problems-only"), QStringLiteral("--quiet"), QStringLiteral("--stop-at-end-of-input"),
        QStringLiteral("--listed-only"), QStringLiteral("--no-templates")};
    const QStringList valued {QStringLiteral("--dir"), QStringLiteral("--template"), QStringLiteral("--root"), QStringLiteral("--mode"),
        QStringLiteral("--format"), QStringLiteral("--jobs")};
    QStringList given;
    for (int i = 0; i < arguments.size(); ++i) {
        QString option = arguments.at(i);
        QString value;
        const int equals = option.indexOf(QLatin1Char('='));
        const bool hasInlineValue = option.startsWith(QLatin1String("--")) && equals > 0;
        if (hasInlineValue) {
            value = option.mid(equals + 1);
            option.truncate(equals);
        }
        const bool repeatable = option == QLatin1String("--dir") || option == QLatin1String("--template");
        if (given.contains(option) && !repeatable) {
            return refuse(QStringLiteral("%1 is given twice").arg(option));
        }
        given.append(option);
        if (flags.contains(option) && !hasInlineValue) {
            problemsOnly = problemsOnly || option == flags.at(0);
            quiet = quiet || option == flags.at(1);
            stopAtEndOfInput = stopAtEndOfInput || option == flags.at(2);
            listedOnly = listedOnly || option == flags.at(3);
            noTemplates = noTemplates || option == flags.at(4);
            continue;
        }
        if (!valued.contains(option)) {
            return refuse(QStringLiteral("unknown argument \"%1\"").arg(option.left(80)));
        }
        if (!hasInlineValue) {
            if (++i >= arguments.size()) {
                return refuse(QStringLiteral("%1 needs a value").arg(option));
            }
            value = arguments.at(i);
        }
        if (!take(option, value)) {
            return false;
        }
    }
    return true;
}

bool CheckOptions::take(const QString &option, const QString &value)
{
    if (option == QLatin1String("--dir") || option == QLatin1String("--root")) {
        if (!isPath(value)) {
            return refuse(QStringLiteral("%1 needs an absolute, normalised path without control characters").arg(option));
        }
        if (option == QLatin1String("--root")) {
            root = value == QLatin1String("/") ? QString() : value;
        } else if (directories.size() < MaxDirectories) {
            directories.append(value);
            directoriesGiven = true;
        } else {
            return refuse(QStringLiteral("more than %1 directories").arg(MaxDirectories));
        }
    } else if (option == QLatin1String("--template")) {
        if (!ScanRules::isValidTemplate(value) || templates.size() >= MaxTemplates) {
            return refuse(QStringLiteral("--template needs an entry like //usr/bin/file or /usr/lib/"));
        }
        templates.append(value);
        templatesGiven = true;
    } else if (option == QLatin1String("--mode")) {
        static const QRegularExpression modes(QStringLiteral("\\A(?:ONLY_ELF|ONLY_XATTR|FALLBACK|ANY|ALL)\\z"));
        if (!modes.match(value).hasMatch()) {
            return refuse(QStringLiteral("--mode is one of ONLY_ELF, ONLY_XATTR, FALLBACK, ANY, ALL"));
        }
        mode = DigSigSettingsData::verifyModeByName(value);
    } else if (option == QLatin1String("--format")) {
        static const QRegularExpression formats(QStringLiteral("\\A(?:text|csv|json)\\z"));
        if (!formats.match(value).hasMatch()) {
            return refuse(QStringLiteral("--format is one of text, csv, json"));
        }
        format = value == QLatin1String("csv") ? Csv : value == QLatin1String("json") ? Json : Text;
    } else {
        static const QRegularExpression number(QStringLiteral("\\A[1-8]\\z"));
        if (!number.match(value).hasMatch()) {
            return refuse(QStringLiteral("--jobs is a number from 1 to %1").arg(MaxJobs));
        }
        jobs = value.toInt();
    }
    return true;
}

bool CheckOptions::refuse(const QString &why)
{
    m_error = why;
    return false;
}

QString CheckOptions::error() const
{
    return m_error;
}

int CheckOptions::effectiveJobs() const
{
    return jobs > 0 ? jobs : qBound(1, QThread::idealThreadCount(), MaxJobs);
}

QString CheckOptions::usage()
{
    return QStringLiteral("usage: digsig-check [--dir DIR]... [--root DIR] [--mode ONLY_ELF|ONLY_XATTR|FALLBACK|ANY|ALL]\n"
                          "                    [--format text|csv|json] [--problems-only] [--jobs N] [--quiet]\n"
                          "                    [--template ENTRY]... [--no-templates] [--listed-only] [--stop-at-end-of-input]\n"
                          "Exit status: 0 nothing would be refused, 1 something would be refused or cannot be told, 2 error.\n");
}

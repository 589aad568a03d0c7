#pragma once

#include "digsigsettingsdata.h"

#include <QString>
#include <QStringList>

// The command line of digsig-check. Every value is checked with an anchored pattern before
// anything is opened: the program runs as root for a caller who may type anything.
class CheckOptions
{
public:
    enum Format {
        Text,
        Csv,
        Json,
    };

    // Replaces the default program directories when given.
    QStringList directories;
    bool directoriesGiven = false;
    // Entries of the boot verification list ("//file", "dir/"); replace xattr_control's.
    QStringList templates;
    bool templatesGiven = false;
    QString root;
    VerificationModeId mode = VerificationModeId::Invalid; // Invalid: the configured one
    Format format = Text;
    bool problemsOnly = false;
    int jobs = 0; // 0: online processors, at most MaxJobs
    bool quiet = false;
    bool stopAtEndOfInput = false;
    // No program directories: only the boot list's files.
    bool listedOnly = false;
    // No boot list.
    bool noTemplates = false;

    static constexpr int MaxJobs = 8;

    // False with error() set when an argument is refused.
    bool parse(const QStringList &arguments);
    QString error() const;
    int effectiveJobs() const;
    static QString usage();

private:
    bool take(const QString &option, const QString &value);
    bool refuse(const QString &why);

    QString m_error;
};

#pragma once

#include "filewalk.h"
#include "reportwriter.h"

#include <QSet>
#include <QString>
#include <QStringList>

// The check after a package run (the package manager's hook): finds the packages that dpkg
// installed or upgraded since the last check, from its log, hands their files to the walk,
// and remembers where in the log it stopped. The report is kept under
// /var/lib/orlis-kcm-digsig/ for the module, and one line per problem and a summary go to
// standard output.
class UpdateCheck : public ReportWriter
{
public:
    explicit UpdateCheck(FILE *out);

    // Whether either control is on or debug.
    static bool controlsEnabled(const QString &settings);
    // The packages the log names as installed since the last check, and their files.
    bool collect(FileWalk *walk, const QString &templates);
    bool add(const CheckedFile &file) override;
    bool end(VerificationModeId mode) override;

    static QString stateDirectory();

private:
    QSet<QString> installedPackages();
    QStringList packageFiles(const QString &package) const;

    QByteArray m_position;
    QString m_report;
    int m_problems = 0;
};

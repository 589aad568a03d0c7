#pragma once

#include "checkoptions.h"
#include "signatureverdict.h"

#include <QString>
#include <QVector>

#include <cstdio>

// One checked file as the report gives it.
struct CheckedFile
{
    QString path;
    QString keyId;
    SignatureVerdict::State elf = SignatureVerdict::Unknown;
    SignatureVerdict::State xattr = SignatureVerdict::Unknown;
    SignatureVerdict::Verdict verdict = SignatureVerdict::Undecided;
    bool needed = false;
    // A file that is not ELF is judged by its signature in extended attributes alone.
    bool isElf = true;
};

// The report on standard output. JSON and CSV stream one line per file, flushed at once; the
// text report gathers the files and starts with a header of the mode, date and counts.
class ReportWriter
{
public:
    ReportWriter(CheckOptions::Format format, bool problemsOnly, FILE *out);

    // False when the output is gone (the reader closed it).
    bool begin();
    bool add(const CheckedFile &file);
    bool end(VerificationModeId mode);

    int count(SignatureVerdict::Verdict verdict) const;

    static QString stateName(SignatureVerdict::State state);
    static QString verdictName(SignatureVerdict::Verdict verdict);
    static QString jsonLine(const CheckedFile &file);
    static QString csvLine(const CheckedFile &file);
    static QString textLine(const CheckedFile &file);

private:
    bool write(const QString &text);

    CheckOptions::Format m_format;
    bool m_problemsOnly;
    FILE *m_out;
    QVector<CheckedFile> m_gathered;
    int m_counts[3] = {};
    int m_neededRefused = 0;
};

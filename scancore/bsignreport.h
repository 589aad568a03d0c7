#pragma once

#include "signatureverdict.h"

#include <QString>

// What one run of "bsign -w <path>" says about the file's two signatures.
class BsignReport
{
public:
    SignatureVerdict::State elf = SignatureVerdict::Unknown;
    SignatureVerdict::State xattr = SignatureVerdict::Unknown;
    // The key of the signature the report details; empty when none is named.
    QString keyId;
    // Whether the report had a line about the kind at all.
    bool elfReported = false;
    bool xattrReported = false;

    // The exit codes that carry a verdict: good, no hash or signature, bad hash or signature.
    // Every other code says nothing about the signatures.
    static bool isVerdictCode(int exitCode);
    // The report of a run that ended with a verdict code. The verdict line of each kind is
    // its last line: "xattr" lines for the attribute, every other line for the ELF signature.
    static BsignReport read(QString output, const QString &path);
};

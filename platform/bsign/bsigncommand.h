#pragma once

#include "nofollowopen.h"

#include <QString>
#include <QStringList>
#include <QTextStream>

/**
 * The stand-in's two commands:
 *   bsign -w <path>                                             check and report
 *   bsign --sign --kind elf|xattr|both --key <key id> [--] <path>   sign
 * The file is opened once, without following a link in any component of its path, and
 * read, hashed, signed and given its signature through that descriptor only.
 * Exit codes are bsign's: 0 good, 2 no such file, 21 directory, 22 bad argument,
 * 65 no signature, 67 bad signature, 68 not an ELF file, 69 signing refused, 70 cannot store.
 */
class BsignCommand
{
public:
    enum ExitCode {
        Success = 0,
        PermissionDenied = 1,
        FileNotFound = 2,
        IsDirectory = 21,
        InvalidArgument = 22,
        NoSignatureFound = 65,
        BadSignatureFound = 67,
        UnsupportedFileType = 68,
        BadPassPhrase = 69,
        RewriteFailed = 70,
        WritableByOthers = 71,
    };

    static int run(const QStringList &arguments, QTextStream &out, QTextStream &err);

    static int check(const QString &path, QTextStream &out);
    static int sign(const QString &path, const QString &kind, const QString &keyId, QTextStream &err);

    static bool hasElfMagic(int fd);

private:
    /** The file opened without following links; @p problem gets the exit code of a refusal. */
    static NoFollowOpen::Descriptor openFile(const QString &path, int *problem, NoFollowOpen::Writers writers = NoFollowOpen::AnyWriters);
};

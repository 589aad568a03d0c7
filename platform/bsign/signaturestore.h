#pragma once

#include <QByteArray>

/**
 * The stand-in keeps both signatures of a file in its extended attributes: one for the
 * ELF kind, one for the extended-attribute kind. Both are read and written through the
 * file's open descriptor.
 */
class SignatureStore
{
public:
    enum Kind { Elf, Xattr };

    /** The stored signature of @p kind; empty when there is none. */
    static QByteArray read(int fd, Kind kind);
    /** Stores @p signature; returns the errno of a failure, 0 on success. */
    static int write(int fd, Kind kind, const QByteArray &signature);

    static const char *attributeName(Kind kind);
};

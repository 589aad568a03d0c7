#pragma once

#include <QByteArray>
#include <QString>

/**
 * The stand-in keeps both signatures of a file in its extended attributes: one for the
 * ELF kind, one for the extended-attribute kind.
 */
class SignatureStore
{
public:
    enum Kind { Elf, Xattr };

    /** The stored signature of @p kind; empty when there is none. */
    static QByteArray read(const QString &path, Kind kind);
    /** Stores @p signature; returns the errno of a failure, 0 on success. */
    static int write(const QString &path, Kind kind, const QByteArray &signature);

    static const char *attributeName(Kind kind);
};

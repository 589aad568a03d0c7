#pragma once

#include "helperenvironment.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariantMap>

/**
 * The helper's GnuPG work on root's key ring, each step one gpg child with a deadline. gpg is
 * started by absolute path with --batch in the fixed GnuPG home; what it reads comes from a
 * buffer, so a gpg that stops reading early, or never ends, cannot hold the helper: it is
 * killed when its time is up and the step fails with a message.
 */
class BoundedGpg
{
public:
    static constexpr int ImportMilliseconds = 10000;
    static constexpr int ListMilliseconds = 20000;
    static constexpr int ExportMilliseconds = 20000;
    /** Largest key file imported; vendor key files are a few KiB. */
    static constexpr qint64 MaxKeyFileBytes = 1024 * 1024;

    explicit BoundedGpg(const HelperEnvironment &environment);

    /** Imports the key file @p path, opened without following links; empty or an error text naming the file. */
    QString importKeyFile(const QString &path);
    /** User id to fingerprint of every usable signing key; false with error() set on failure. */
    bool signingKeys(QVariantMap *keys);
    /** The public key @p fingerprint as gpg exports it; empty with error() set on failure. */
    QByteArray exportKey(const QString &fingerprint);

    QString error() const;

    /** The keys of a "--with-colons --list-secret-keys" listing, as signingKeys() gives them. */
    static QVariantMap signingKeysOfListing(const QByteArray &listing);

private:
    /** Runs gpg with @p arguments and @p input on its standard input; false with m_error set. */
    bool run(const QStringList &arguments, const QByteArray &input, int milliseconds);

    HelperEnvironment m_environment;
    QByteArray m_output;
    QString m_error;
};

#pragma once

#include <QString>

class HelperEnvironment;

/**
 * The module's own signing keys: exactly those the key list offers. No other key of root's
 * key ring signs or leaves it, and a key leaves it only as xattr_keys/<fingerprint>.gpg.
 */
class SigningKeys
{
public:
    /** The fingerprint the key list offers for @p keyId, spelt as listed; empty, with @p problem set, for any other key. */
    static QString offered(const HelperEnvironment &environment, const QString &keyId, QString *problem);

    /** The one file a key may be exported to: xattr_keys/<fingerprint>.gpg. */
    static QString exportPath(const HelperEnvironment &environment, const QString &fingerprint);

    /**
     * Exports the offered key @p fingerprint to exportPath(); a file already there with the
     * same key stays, a different one is never replaced. Returns an error text, empty on success.
     */
    static QString exportOffered(const HelperEnvironment &environment, const QString &fingerprint);

    /** Why @p path can not receive the key @p keyId: not its export path, or a link or no regular file there. */
    static QString targetProblem(const HelperEnvironment &environment, const QString &keyId, const QString &path);
};

#pragma once

#include "helperresult.h"

#include <QVariant>

class HelperEnvironment;

/**
 * The key actions on root's key ring: the list of signing keys, the import of the vendor's
 * public keys from /etc/digsig/keys, and the export of a public key into a key directory.
 */
class KeyActions
{
public:
    /** User id to fingerprint of every usable signing key. */
    static HelperResult keys(const HelperEnvironment &environment);

    /** Most vendor key files imported at once. */
    static constexpr int MaxVendorKeyFiles = 256;

    /** Imports every "*.gpg" file of the vendor key directory. */
    static HelperResult importVendorKeys(const HelperEnvironment &environment);

    /** Exports @p key, one the key list offers, to @p path, which must be xattr_keys/<fingerprint>.gpg. */
    static HelperResult exportKey(const HelperEnvironment &environment, const QVariant &key, const QVariant &path);

    /** Writes the public key @p keyId to @p path as a whole; returns an error text, empty on success. */
    static QString exportToFile(const HelperEnvironment &environment, const QString &keyId, const QString &path);

    /** Empty when @p keyId is a whole fingerprint (40 or 64 hexadecimal digits). */
    static QString fingerprintProblem(const QString &keyId);
};

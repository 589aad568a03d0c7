#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

/**
 * A scratch GnuPG home for tests: short path (agent sockets live inside it), a stub pinentry
 * and every gpg run under a deadline. The destructor ends the home's daemons.
 */
class GnupgTestHome
{
public:
    struct Result
    {
        int exitCode = -1;
        QByteArray output;
        QByteArray errors;
    };

    GnupgTestHome();
    ~GnupgTestHome();

    bool isValid() const;
    QString path() const;
    /** Makes this home the default one of the test process (GNUPGHOME). */
    void activate() const;

    Result run(const QString &program, const QStringList &arguments, const QByteArray &input = QByteArray()) const;
    Result gpg(const QStringList &arguments, const QByteArray &input = QByteArray()) const;

    /** A new unprotected key with one user id; returns its fingerprint or an empty string. */
    QString generateKey(const QString &userId,
        const QString &algorithm,
        const QString &usage,
        const QString &expiry = QStringLiteral("0"),
        const QStringList &extraOptions = {}) const;
    /** Adds an unprotected subkey; returns the fingerprint of the new subkey. */
    QString addSubkey(const QString &fingerprint, const QString &algorithm, const QString &usage) const;
    bool disableKey(const QString &fingerprint) const;
    bool revokeKey(const QString &fingerprint) const;
    bool addPhotoId(const QString &fingerprint) const;
    /** The secret key in binary form, without its user id packets and their signatures. */
    QByteArray exportSecretKeyWithoutUserIds(const QString &fingerprint) const;
    /** Fingerprints of the key and its subkeys, primary first. */
    QStringList fingerprints(const QString &pattern, bool secret) const;

    static QString standinDir();
    static QString pinentryStub();
    /** Puts the GOST engine stand-in first on PATH; call before the first GpgME use. */
    static void useGostStandin();

private:
    QTemporaryDir m_dir;
};

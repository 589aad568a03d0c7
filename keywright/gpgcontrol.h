#pragma once

#include <QHash>
#include <QString>
#include <QVariantMap>

#include <gpgme.h>

#include <memory>

class QIODevice;

namespace GpgME {
class Context;
}

/**
 * GnuPG chores of root's key ring: the GnuPG home and the agent configuration (class-level,
 * failures raise std::runtime_error with the user-facing text) and the key operations
 * (per object, failures are kept in lastError()).
 *
 * The key operations work in GnuPG's default home of the running account, which honours
 * GNUPGHOME.
 */
class GpgControl
{
public:
    GpgControl();
    ~GpgControl();

    GpgControl(const GpgControl &) = delete;
    GpgControl &operator=(const GpgControl &) = delete;

    static void createGnupgHome();
    static void setAgentOptions(QHash<QString, QString> options);
    static void setAgentOption(const QString &key, const QString &value);
    static void reloadAgent();

    /** Merges @p options into the agent configuration read from @p device (opened for reading). */
    static QString mergeAgentConfiguration(QIODevice &device, QHash<QString, QString> options);

    /** Root's GnuPG home, "/root/.gnupg". */
    static QString gnupgHome();
    static QString agentConfigurationPath();
    /** Unit tests only: moves the GnuPG home of the agent operations into a scratch directory. */
    static void setGnupgHomeForTesting(const QString &dir);

    bool libraryInitialization(const QString &homeDir);
    // Usable signing keys, user id to fingerprint; user ids that several keys share are told
    // apart by the end of the fingerprint, as distinctKeyText() writes them.
    QVariantMap keys();
    static QString distinctKeyText(const QString &userId, const QString &fingerprint);
    static constexpr int ShortFingerprintLength = 10;
    bool exportKey(const QString &keyId, const QString &path);
    QString importZelmarkKey(const QString &path);
    QString lastError() const;

private:
    static QString &gnupgHomeSetting();
    // How many public keys match @p pattern, counted up to two.
    int matchingKeyCount(const QByteArray &pattern);

    gpgme_ctx_t m_rawContext = nullptr;
    std::unique_ptr<GpgME::Context> m_context;
    QString m_lastError;
};

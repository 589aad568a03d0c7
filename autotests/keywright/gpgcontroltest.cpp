#include "gpgcontrol.h"
#include "gnupgtesthome.h"

#include <QFile>
#include <QTest>

#include <memory>

namespace {
const QString gostCurve = QStringLiteral("brainpoolP256r1");
const QString gostSubkey = QStringLiteral("brainpoolP256r1/ecdsa");
const QString signing = QStringLiteral("sign");

// QCOMPARE shows no content of maps; compare their printed forms.
QString printed(const QVariantMap &map)
{
    QStringList entries;
    for (auto entry = map.cbegin(); entry != map.cend(); ++entry) {
        entries << entry.key() + QStringLiteral(" = ") + entry.value().toString();
    }
    return entries.join(QStringLiteral("; "));
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
}

/**
 * GpgControl's key operations against a real gpg with the GOST engine stand-in, which shows
 * ECDSA keys on brainpoolP256r1 the way the platform's engine shows GOST keys.
 */
class GpgControlTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void listsUsableGostSigningKeys();
    void listsAKeyWithoutUserId();
    void exportsAndImportsAKey();
    void refusesAnExportWithoutKeyIdOrPath_data();
    void refusesAnExportWithoutKeyIdOrPath();
    void reportsAnExportMatchingNoKey();
    void reportsAnExportToAnUnwritablePath();
    void keepsTheLastErrorAfterASuccess();
    void reportsAnImportOfAMissingFile();
    void reportsAnImportWithoutKeys_data();
    void reportsAnImportWithoutKeys();
    void initializesWithAHomeDirectory();

private:
    std::unique_ptr<GnupgTestHome> m_home;
    QVariantMap m_expectedKeys;
    QString m_gostFingerprint;
};

void GpgControlTest::initTestCase()
{
    GnupgTestHome::useGostStandin();
    m_home = std::make_unique<GnupgTestHome>();
    QVERIFY(m_home->isValid());
    m_home->activate();

    m_gostFingerprint = m_home->generateKey(QStringLiteral("Gost Signer <gost@example.org>"), gostCurve, signing);
    QVERIFY(!m_gostFingerprint.isEmpty());
    // A second key with the same user id: both are listed, told apart by their fingerprints.
    QVERIFY(
        !m_home->generateKey(QStringLiteral("Gost Signer <gost@example.org>"), gostCurve, signing, QStringLiteral("0"), {QStringLiteral("--yes")}).isEmpty());
    QStringList sameUserIds = m_home->fingerprints(QStringLiteral("=Gost Signer <gost@example.org>"), true);
    sameUserIds.removeAll(m_gostFingerprint);
    QCOMPARE(sameUserIds.size(), 1);
    const QString sameUserId = sameUserIds.first();
    m_expectedKeys.insert(QStringLiteral("Gost Signer <gost@example.org> [%1]").arg(m_gostFingerprint.right(10)), m_gostFingerprint);
    m_expectedKeys.insert(QStringLiteral("Gost Signer <gost@example.org> [%1]").arg(sameUserId.right(10)), sameUserId);

    QVERIFY(!m_home->generateKey(QStringLiteral("Rsa Signer"), QStringLiteral("rsa2048"), signing).isEmpty());
    QVERIFY(!m_home->generateKey(QStringLiteral("Eddsa Signer"), QStringLiteral("ed25519"), signing).isEmpty());
    QVERIFY(!m_home->generateKey(QStringLiteral("Nist Signer"), QStringLiteral("nistp256"), signing).isEmpty());

    const QString twoSubkeys = m_home->generateKey(QStringLiteral("Two Subkeys"), QStringLiteral("ed25519"), QStringLiteral("cert"));
    QVERIFY(!twoSubkeys.isEmpty());
    const QString firstSubkey = m_home->addSubkey(twoSubkeys, gostSubkey, signing);
    const QString laterSubkey = m_home->addSubkey(twoSubkeys, gostSubkey, signing);
    QVERIFY(!firstSubkey.isEmpty());
    QVERIFY(laterSubkey != firstSubkey);
    m_expectedKeys.insert(QStringLiteral("Two Subkeys"), laterSubkey);

    const QString revoked = m_home->generateKey(QStringLiteral("Revoked Gost"), gostCurve, signing);
    QVERIFY(m_home->revokeKey(revoked));
    const QString disabled = m_home->generateKey(QStringLiteral("Disabled Gost"), gostCurve, signing);
    QVERIFY(m_home->disableKey(disabled));
    QVERIFY(!m_home
                 ->generateKey(QStringLiteral("Expired Gost"), gostCurve, signing, QStringLiteral("1d"),
                     {QStringLiteral("--faked-system-time"), QStringLiteral("20200101T000000")})
                 .isEmpty());
}

void GpgControlTest::cleanupTestCase()
{
    m_home.reset();
}

void GpgControlTest::listsUsableGostSigningKeys()
{
    GpgControl control;
    QCOMPARE(printed(control.keys()), printed(m_expectedKeys));
    QCOMPARE(control.lastError(), QString());
}

void GpgControlTest::listsAKeyWithoutUserId()
{
    // gpg refuses a key without any user id; a key whose only one is a photo id shows
    // none to GpgME.
    GnupgTestHome source;
    const QString fingerprint = source.generateKey(QStringLiteral("Soon Without Name"), gostCurve, signing);
    QVERIFY(!fingerprint.isEmpty());
    QVERIFY(source.addPhotoId(fingerprint));
    const QByteArray stripped = source.exportSecretKeyWithoutUserIds(fingerprint);
    QVERIFY(!stripped.isEmpty());

    GnupgTestHome target;
    QCOMPARE(target.gpg({QStringLiteral("--batch"), QStringLiteral("--import")}, stripped).exitCode, 0);
    target.activate();
    GpgControl control;
    const QVariantMap keys = control.keys();
    m_home->activate();

    QCOMPARE(printed(keys), printed({{QStringLiteral("(no user id)"), fingerprint}}));
}

void GpgControlTest::exportsAndImportsAKey()
{
    QTemporaryDir scratch(QStringLiteral("/tmp/kwXXXXXX"));
    const QString path = scratch.filePath(QStringLiteral("%1.gpg").arg(m_gostFingerprint));

    GpgControl control;
    QVERIFY(control.exportKey(m_gostFingerprint, path));
    const QByteArray exported = readFile(path);
    QVERIFY(!exported.isEmpty());
    QCOMPARE(exported, m_home->gpg({QStringLiteral("--batch"), QStringLiteral("--export"), m_gostFingerprint}).output);

    GnupgTestHome other;
    other.activate();
    GpgControl importer;
    const QString importError = importer.importZelmarkKey(path);
    m_home->activate();
    QCOMPARE(importError, QString());
    QCOMPARE(other.fingerprints(m_gostFingerprint, false), QStringList {m_gostFingerprint});
}

void GpgControlTest::refusesAnExportWithoutKeyIdOrPath_data()
{
    QTest::addColumn<bool>("withKeyId");
    QTest::addColumn<bool>("withPath");

    QTest::newRow("no key id") << false << true;
    QTest::newRow("no path") << true << false;
    QTest::newRow("neither") << false << false;
}

void GpgControlTest::refusesAnExportWithoutKeyIdOrPath()
{
    QFETCH(bool, withKeyId);
    QFETCH(bool, withPath);

    QTemporaryDir scratch(QStringLiteral("/tmp/kwXXXXXX"));
    const QString path = scratch.filePath(QStringLiteral("key.gpg"));
    GpgControl control;
    QVERIFY(!control.exportKey(withKeyId ? m_gostFingerprint : QString(), withPath ? path : QString()));
    QCOMPARE(control.lastError(), QStringLiteral("Error fetching data to change"));
    QVERIFY(!QFile::exists(path));
}

void GpgControlTest::reportsAnExportMatchingNoKey()
{
    QTemporaryDir scratch(QStringLiteral("/tmp/kwXXXXXX"));
    const QString path = scratch.filePath(QStringLiteral("key.gpg"));
    const QString unknown = QStringLiteral("0123456789ABCDEF0123456789ABCDEF01234567");

    GpgControl control;
    QVERIFY(!control.exportKey(unknown, path));
    QCOMPARE(control.lastError(), QStringLiteral("No key matches %1").arg(unknown));
    QVERIFY(!QFile::exists(path));
}

void GpgControlTest::reportsAnExportToAnUnwritablePath()
{
    QTemporaryDir scratch(QStringLiteral("/tmp/kwXXXXXX"));
    GpgControl control;
    QVERIFY(!control.exportKey(m_gostFingerprint, scratch.filePath(QStringLiteral("missing/key.gpg"))));
    QCOMPARE(control.lastError(), QStringLiteral("Can't open file"));
    QVERIFY(!control.exportKey(m_gostFingerprint, scratch.path()));
    QCOMPARE(control.lastError(), QStringLiteral("Can't open file"));
}

void GpgControlTest::keepsTheLastErrorAfterASuccess()
{
    QTemporaryDir scratch(QStringLiteral("/tmp/kwXXXXXX"));
    GpgControl control;
    QVERIFY(!control.exportKey(QString(), scratch.filePath(QStringLiteral("key.gpg"))));
    QVERIFY(control.exportKey(m_gostFingerprint, scratch.filePath(QStringLiteral("key.gpg"))));
    QCOMPARE(printed(control.keys()), printed(m_expectedKeys));
    QCOMPARE(control.lastError(), QStringLiteral("Error fetching data to change"));
}

void GpgControlTest::reportsAnImportOfAMissingFile()
{
    QTemporaryDir scratch(QStringLiteral("/tmp/kwXXXXXX"));
    const QString path = scratch.filePath(QStringLiteral("absent.gpg"));
    GpgControl control;
    QCOMPARE(control.importZelmarkKey(path), QStringLiteral("%1. Can't open file").arg(path));
    QCOMPARE(control.lastError(), QString());
}

void GpgControlTest::reportsAnImportWithoutKeys_data()
{
    QTest::addColumn<QByteArray>("content");

    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("text") << QByteArray("no key in here\n");
    QTest::newRow("empty armour") << QByteArray("-----BEGIN PGP PUBLIC KEY BLOCK-----\n\n-----END PGP PUBLIC KEY BLOCK-----\n");
}

void GpgControlTest::reportsAnImportWithoutKeys()
{
    QFETCH(QByteArray, content);

    QTemporaryDir scratch(QStringLiteral("/tmp/kwXXXXXX"));
    const QString path = scratch.filePath(QStringLiteral("nothing.gpg"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();

    GpgControl control;
    QCOMPARE(control.importZelmarkKey(path), QStringLiteral("%1. No key found in the file").arg(path));
}

void GpgControlTest::initializesWithAHomeDirectory()
{
    GpgControl control;
    QVERIFY(control.libraryInitialization(m_home->path()));
    QVERIFY(control.libraryInitialization(QString()));
    QCOMPARE(control.lastError(), QString());
}

QTEST_GUILESS_MAIN(GpgControlTest)

#include "gpgcontroltest.moc"

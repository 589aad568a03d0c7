#include "gpgcontrol.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <stdexcept>

namespace {
const QString Curve = QStringLiteral("brainpoolP256r1");
const QString Pinentry = QStringLiteral("pinentry-program");
const QString PinentryQt = QStringLiteral("/usr/bin/pinentry-qt");

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString &path, const QByteArray &content, QFileDevice::Permissions mode = QFileDevice::ReadOwner | QFileDevice::WriteOwner)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size() && file.setPermissions(mode);
}

// gpg in the home that GNUPGHOME names, unattended and under a deadline; gives its output.
QByteArray gpg(const QStringList &arguments, const QByteArray &input = QByteArray(), bool *ok = nullptr)
{
    QProcess process;
    process.start(QStringLiteral("gpg"),
        QStringList {QStringLiteral("--batch"), QStringLiteral("--pinentry-mode"), QStringLiteral("loopback"), QStringLiteral("--passphrase"), QString()}
            + arguments);
    process.write(input);
    process.closeWriteChannel();
    const bool finished = process.waitForFinished(60000);
    if (ok) {
        *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
    return process.readAllStandardOutput();
}

QStringList fingerprints(const QString &pattern)
{
    QStringList found;
    const QList<QByteArray> lines = gpg({QStringLiteral("--with-colons"), QStringLiteral("--list-secret-keys"), pattern}).split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("fpr:")) {
            found << QString::fromLatin1(line.split(':').value(9));
        }
    }
    return found;
}

// The fingerprint of a new key (the last one listed with that user id), empty on failure.
QString newKey(const QString &userId, const QString &algorithm, const QString &usage = QStringLiteral("sign"), const QStringList &extra = {})
{
    bool ok = false;
    const QString expiry = extra.isEmpty() ? QStringLiteral("0") : QStringLiteral("1d");
    gpg(extra + QStringList {QStringLiteral("--yes"), QStringLiteral("--quick-gen-key"), userId, algorithm, usage, expiry}, {}, &ok);
    const QStringList found = ok ? fingerprints(QLatin1Char('=') + userId) : QStringList();
    return found.isEmpty() ? QString() : found.constLast();
}

QString failureOf(const std::function<void()> &operation)
{
    try {
        operation();
    } catch (const std::runtime_error &error) {
        return QString::fromStdString(error.what());
    }
    return QString();
}
}

// GpgControl against a real gpg with the GOST engine stand-in, which shows ECDSA keys on
// brainpoolP256r1 the way the platform's engine shows GOST keys, and a running agent.
class GpgControlTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void listsUsableGostSigningKeys();
    void exportsAndImports();
    void refusesExports_data();
    void refusesExports();
    void reportsImportsWithoutKeys();
    void writesTheAgentConfiguration();
    void reportsAgentFailures();

private:
    QTemporaryDir m_home {QStringLiteral("/tmp/kwXXXXXX")};
    QVariantMap m_expectedKeys;
    QString m_gost;
    QByteArray m_path = qgetenv("PATH");
};

void GpgControlTest::initTestCase()
{
    qputenv("PATH", GNUPG_STANDIN_DIR ":" + m_path);
    qputenv("GNUPGHOME", QFile::encodeName(m_home.path()));
    QVERIFY(writeFile(m_home.filePath(QStringLiteral("gpg-agent.conf")), "pinentry-program " PINENTRY_STUB "\n"));
    QCOMPARE(QProcess::execute(QStringLiteral("gpg-connect-agent"), {QStringLiteral("/bye")}), 0);
    GpgControl::setGnupgHomeForTesting(m_home.path());

    // Two keys share a user id: told apart by the end of their fingerprints.
    m_gost = newKey(QStringLiteral("Gost Signer <gost@example.org>"), Curve);
    const QString twin = newKey(QStringLiteral("Gost Signer <gost@example.org>"), Curve);
    QVERIFY(!m_gost.isEmpty() && !twin.isEmpty() && twin != m_gost);
    m_expectedKeys.insert(QStringLiteral("Gost Signer <gost@example.org> [%1]").arg(m_gost.right(10)), m_gost);
    m_expectedKeys.insert(QStringLiteral("Gost Signer <gost@example.org> [%1]").arg(twin.right(10)), twin);
    // Other algorithms, revoked, disabled and expired keys are left out.
    for (const QString &algorithm : {QStringLiteral("rsa2048"), QStringLiteral("ed25519"), QStringLiteral("nistp256")}) {
        QVERIFY(!newKey(algorithm, algorithm).isEmpty());
    }
    const QString revoked = newKey(QStringLiteral("Revoked"), Curve);
    QByteArray certificate = readFile(m_home.filePath(QStringLiteral("openpgp-revocs.d/%1.rev").arg(revoked)));
    certificate.replace("\n:-----BEGIN", "\n-----BEGIN");
    bool ok = false;
    gpg({QStringLiteral("--import")}, certificate, &ok);
    QVERIFY(ok);
    gpg({QStringLiteral("--edit-key"), newKey(QStringLiteral("Disabled"), Curve), QStringLiteral("disable"), QStringLiteral("quit")}, {}, &ok);
    QVERIFY(ok);
    QVERIFY(!newKey(QStringLiteral("Expired"), Curve, QStringLiteral("sign"), {QStringLiteral("--faked-system-time"), QStringLiteral("20200101T000000")})
                 .isEmpty());
    // Of two signing subkeys the later one is listed.
    const QString twoSubkeys = newKey(QStringLiteral("Two Subkeys"), QStringLiteral("ed25519"), QStringLiteral("cert"));
    for (int i = 0; i < 2; ++i) {
        gpg({QStringLiteral("--quick-add-key"), twoSubkeys, Curve + QStringLiteral("/ecdsa"), QStringLiteral("sign"), QStringLiteral("0")}, {}, &ok);
        QVERIFY(ok);
    }
    m_expectedKeys.insert(QStringLiteral("Two Subkeys"), fingerprints(twoSubkeys).constLast());
}

void GpgControlTest::cleanupTestCase()
{
    QProcess::execute(QStringLiteral("gpgconf"), {QStringLiteral("--kill"), QStringLiteral("all")});
    qputenv("PATH", m_path);
}

void GpgControlTest::listsUsableGostSigningKeys()
{
    GpgControl control;
    QCOMPARE(control.keys(), m_expectedKeys);
    QCOMPARE(control.lastError(), QString());
    QVERIFY(control.libraryInitialization(m_home.path()));
}

void GpgControlTest::exportsAndImports()
{
    QTemporaryDir other(QStringLiteral("/tmp/kwXXXXXX"));
    const QString path = other.filePath(QStringLiteral("key.gpg"));
    GpgControl control;
    QVERIFY(control.exportKey(m_gost, path));
    QCOMPARE(readFile(path), gpg({QStringLiteral("--export"), m_gost}));

    qputenv("GNUPGHOME", QFile::encodeName(other.path()));
    const QString importError = GpgControl().importZelmarkKey(path);
    const QByteArray imported = gpg({QStringLiteral("--with-colons"), QStringLiteral("--list-keys")});
    QProcess::execute(QStringLiteral("gpgconf"), {QStringLiteral("--kill"), QStringLiteral("all")});
    qputenv("GNUPGHOME", QFile::encodeName(m_home.path()));
    QCOMPARE(importError, QString());
    QVERIFY(imported.contains(m_gost.toLatin1()));
}

void GpgControlTest::refusesExports_data()
{
    QTest::addColumn<QString>("keyId");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("error");
    const QString unknown = QStringLiteral("0123456789ABCDEF0123456789ABCDEF01234567");
    QTest::newRow("no key id") << QString() << QStringLiteral("key.gpg") << QStringLiteral("Error fetching data to change");
    QTest::newRow("no path") << QStringLiteral("gost") << QString() << QStringLiteral("Error fetching data to change");
    QTest::newRow("no key") << unknown << QStringLiteral("key.gpg") << QStringLiteral("No key matches ") + unknown;
    QTest::newRow("two keys") << QStringLiteral("Gost Signer") << QStringLiteral("key.gpg") << QStringLiteral("More than one key matches Gost Signer");
    QTest::newRow("missing directory") << QStringLiteral("Two Subkeys") << QStringLiteral("missing/key.gpg") << QStringLiteral("Can't open file");
}

void GpgControlTest::refusesExports()
{
    QFETCH(QString, keyId);
    QFETCH(QString, file);
    QFETCH(QString, error);
    QTemporaryDir scratch;
    const QString path = file.isEmpty() ? QString() : scratch.filePath(file);
    GpgControl control;
    QVERIFY(!control.exportKey(keyId, path));
    QCOMPARE(control.lastError(), error);
    QVERIFY(QDir(scratch.path()).isEmpty());
}

void GpgControlTest::reportsImportsWithoutKeys()
{
    QTemporaryDir scratch;
    const QString path = scratch.filePath(QStringLiteral("keys.gpg"));
    QCOMPARE(GpgControl().importZelmarkKey(path), path + QStringLiteral(". Can't open file"));
    for (const QByteArray &content :
        {QByteArray(), QByteArray("no key in here\n"), QByteArray("-----BEGIN PGP PUBLIC KEY BLOCK-----\n\n-----END PGP PUBLIC KEY BLOCK-----\n")}) {
        QVERIFY(writeFile(path, content));
        QCOMPARE(GpgControl().importZelmarkKey(path), path + QStringLiteral(". No key found in the file"));
    }
}

// The home is made owner-only when missing and left alone when present; the file keeps its
// other lines and the agent is reloaded.
void GpgControlTest::writesTheAgentConfiguration()
{
    QVERIFY(writeFile(GpgControl::agentConfigurationPath(), "pinentry-program " PINENTRY_STUB "\ndefault-cache-ttl 600\n"));
    GpgControl::setAgentOptions({{Pinentry, QStringLiteral(PINENTRY_STUB)}, {QStringLiteral("max-cache-ttl"), QStringLiteral("60")}});
    QCOMPARE(readFile(GpgControl::agentConfigurationPath()), QByteArray("pinentry-program " PINENTRY_STUB "\ndefault-cache-ttl 600\nmax-cache-ttl 60\n"));

    QTemporaryDir scratch(QStringLiteral("/tmp/kwXXXXXX"));
    const QFileDevice::Permissions open = QFile::permissions(scratch.path()) | QFileDevice::ReadOther | QFileDevice::ExeOther;
    QVERIFY(QFile::setPermissions(scratch.path(), open));
    GpgControl::setGnupgHomeForTesting(scratch.path());
    GpgControl::createGnupgHome();
    QCOMPARE(QFile::permissions(scratch.path()), open);
    GpgControl::setGnupgHomeForTesting(scratch.filePath(QStringLiteral("root/.gnupg")));
    // Nothing reloads an agent of this home: the stub answers for it.
    QVERIFY(writeFile(scratch.filePath(QStringLiteral("gpg-connect-agent")), "#!/bin/sh\n", QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    qputenv("PATH", QFile::encodeName(scratch.path()));
    const QString failure = failureOf([] { GpgControl::setAgentOption(Pinentry, PinentryQt); });
    qputenv("PATH", GNUPG_STANDIN_DIR ":" + m_path);
    GpgControl::setGnupgHomeForTesting(m_home.path());
    QCOMPARE(failure, QString());
    QCOMPARE(readFile(scratch.filePath(QStringLiteral("root/.gnupg/gpg-agent.conf"))), QByteArray("pinentry-program /usr/bin/pinentry-qt\n"));
    // Owner, group and other bits; Qt's "user" bits describe the running account instead.
    QCOMPARE(QFile::permissions(scratch.filePath(QStringLiteral("root/.gnupg"))) & QFileDevice::Permissions(0x7077),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

void GpgControlTest::reportsAgentFailures()
{
    QTemporaryDir scratch(QStringLiteral("/tmp/kwXXXXXX"));
    const auto setPinentry = [] { GpgControl::setAgentOption(Pinentry, PinentryQt); };
    // A file where the home's parent belongs.
    QVERIFY(writeFile(scratch.filePath(QStringLiteral("root")), "a file"));
    GpgControl::setGnupgHomeForTesting(scratch.filePath(QStringLiteral("root/.gnupg")));
    QCOMPARE(failureOf(setPinentry), QStringLiteral("Can not create dir %1").arg(GpgControl::gnupgHome()));
    QCOMPARE(readFile(scratch.filePath(QStringLiteral("root"))), QByteArray("a file"));

    // A directory in place of the file.
    GpgControl::setGnupgHomeForTesting(scratch.path());
    QVERIFY(QDir().mkdir(GpgControl::agentConfigurationPath()));
    QCOMPARE(failureOf(setPinentry), QStringLiteral("Can not open file %1").arg(GpgControl::agentConfigurationPath()));
    QVERIFY(QDir().rmdir(GpgControl::agentConfigurationPath()));

    // The reload fails, crashes or cannot start; the file is saved before it.
    const QString stub = scratch.filePath(QStringLiteral("gpg-connect-agent"));
    qputenv("PATH", QFile::encodeName(scratch.path()));
    for (const QByteArray &script : {QByteArray("exit 1"), QByteArray("kill -SEGV $$"), QByteArray()}) {
        QFile::remove(stub);
        QVERIFY(script.isEmpty() || writeFile(stub, "#!/bin/sh\n" + script + "\n", QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        QVERIFY(writeFile(GpgControl::agentConfigurationPath(), "verbose\n"));
        QCOMPARE(failureOf(setPinentry), QStringLiteral("Can not reload gpg-agent"));
        QCOMPARE(readFile(GpgControl::agentConfigurationPath()), QByteArray("verbose\npinentry-program /usr/bin/pinentry-qt\n"));
    }
    qputenv("PATH", GNUPG_STANDIN_DIR ":" + m_path);
    GpgControl::setGnupgHomeForTesting(m_home.path());
}

QTEST_GUILESS_MAIN(GpgControlTest)

#include "gpgcontroltest.moc"

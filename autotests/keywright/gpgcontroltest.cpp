#include "gpgcontrol.h"

#include <QBuffer>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

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

// gpg in the home that GNUPGHOME names, unattended and under a deadline.
bool gpg(const QStringList &arguments, const QByteArray &input = QByteArray(), QByteArray *output = nullptr)
{
    QProcess process;
    process.start(
        QStringLiteral("gpg"), QStringLiteral("--batch --pinentry-mode loopback --passphrase").split(QLatin1Char(' ')) + QStringList(QString()) + arguments);
    process.write(input);
    process.closeWriteChannel();
    const bool finished = process.waitForFinished(60000);
    if (output) {
        *output = process.readAllStandardOutput();
    }
    return finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QStringList fingerprints(const QString &pattern)
{
    QByteArray listing;
    gpg({QStringLiteral("--with-colons"), QStringLiteral("--list-secret-keys"), pattern}, {}, &listing);
    QStringList found;
    for (const QByteArray &line : listing.split('\n')) {
        if (line.startsWith("fpr:")) {
            found << QString::fromLatin1(line.split(':').value(9));
        }
    }
    return found;
}

// The fingerprint of a new key (the last one listed with that user id), empty on failure.
QString newKey(const QString &userId, const QString &algorithm, const QString &usage = QStringLiteral("sign"), const QStringList &extra = {})
{
    const QString expiry = extra.isEmpty() ? QStringLiteral("0") : QStringLiteral("1d");
    const bool ok = gpg(extra + QStringList {QStringLiteral("--yes"), QStringLiteral("--quick-gen-key"), userId, algorithm, usage, expiry});
    const QStringList found = ok ? fingerprints(QLatin1Char('=') + userId) : QStringList();
    return found.isEmpty() ? QString() : found.constLast();
}

QString setPinentryFailure()
{
    try {
        GpgControl::setAgentOption(Pinentry, PinentryQt);
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
    void mergesAgentConfiguration_data();
    void mergesAgentConfiguration();
    void writesTheAgentConfiguration();

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
    QCOMPARE(QProcess::execute(QStringLiteral("gpg-connect-agent /bye")), 0);
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
    QByteArray revocation = readFile(m_home.filePath(QStringLiteral("openpgp-revocs.d/%1.rev").arg(newKey(QStringLiteral("Revoked"), Curve))));
    QVERIFY(gpg({QStringLiteral("--import")}, revocation.replace("\n:-----BEGIN", "\n-----BEGIN")));
    QVERIFY(gpg({QStringLiteral("--edit-key"), newKey(QStringLiteral("Disabled"), Curve), QStringLiteral("disable"), QStringLiteral("quit")}));
    QVERIFY(!newKey(QStringLiteral("Expired"), Curve, QStringLiteral("sign"), {QStringLiteral("--faked-system-time"), QStringLiteral("20200101T000000")})
                 .isEmpty());
    // Of two signing subkeys the later one is listed.
    const QString twoSubkeys = newKey(QStringLiteral("Two Subkeys"), QStringLiteral("ed25519"), QStringLiteral("cert"));
    for (int i = 0; i < 2; ++i) {
        QVERIFY(gpg({QStringLiteral("--quick-add-key"), twoSubkeys, Curve + QStringLiteral("/ecdsa"), QStringLiteral("sign"), QStringLiteral("0")}));
    }
    m_expectedKeys.insert(QStringLiteral("Two Subkeys"), fingerprints(twoSubkeys).constLast());
}

void GpgControlTest::cleanupTestCase()
{
    QProcess::execute(QStringLiteral("gpgconf --kill all"));
}

void GpgControlTest::listsUsableGostSigningKeys()
{
    GpgControl control;
    QCOMPARE(control.keys(), m_expectedKeys);
    QCOMPARE(control.lastError(), QString());
    QVERIFY(control.libraryInitialization(m_home.path()));
}

// Exports refused without key id or path, for no key or two, to a missing directory: nothing is
// written. Imports of a missing file or of files without keys report that.
void GpgControlTest::exportsAndImports()
{
    QTemporaryDir scratch;
    const QString path = scratch.filePath(QStringLiteral("key.gpg"));
    const QString unknown = QStringLiteral("0123456789ABCDEF0123456789ABCDEF01234567");
    const QString noData = QStringLiteral("Error fetching data to change");
    const QList<QStringList> refusals = {{QString(), path, noData}, {m_gost, QString(), noData}, {unknown, path, QStringLiteral("No key matches ") + unknown},
        {QStringLiteral("Gost Signer"), path, QStringLiteral("More than one key matches Gost Signer")},
        {m_gost, scratch.filePath(QStringLiteral("missing/key.gpg")), QStringLiteral("Can't open file")}};
    for (const QStringList &refusal : refusals) {
        GpgControl control;
        QVERIFY(!control.exportKey(refusal.at(0), refusal.at(1)));
        QCOMPARE(control.lastError(), refusal.at(2));
        QVERIFY(QDir(scratch.path()).isEmpty());
    }
    QByteArray exported;
    QVERIFY(GpgControl().exportKey(m_gost, path));
    QVERIFY(gpg({QStringLiteral("--export"), m_gost}, {}, &exported));
    QCOMPARE(readFile(path), exported);
    QCOMPARE(GpgControl().importZelmarkKey(path), QString());

    QCOMPARE(GpgControl().importZelmarkKey(path + QLatin1Char('x')), path + QStringLiteral("x. Can't open file"));
    for (const char *content : {"", "no key in here\n", "-----BEGIN PGP PUBLIC KEY BLOCK-----\n\n-----END PGP PUBLIC KEY BLOCK-----\n"}) {
        QVERIFY(writeFile(path, content));
        QCOMPARE(GpgControl().importZelmarkKey(path), path + QStringLiteral(". No key found in the file"));
    }
}

void GpgControlTest::mergesAgentConfiguration_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    const QByteArray qt = "pinentry-program /usr/bin/pinentry-qt\n";
    QTest::newRow("empty file") << QByteArray() << qt;
    QTest::newRow("three lines") << QByteArray("# options\npinentry-program /usr/bin/pinentry-curses\nverbose\n") << "# options\n" + qt + "verbose\n";
    QTest::newRow("indented key is not a key") << QByteArray("  pinentry-program /a\n") << "  pinentry-program /a\n" + qt;
    QTest::newRow("every one of two lines") << QByteArray("pinentry-program /a\nverbose\npinentry-program /b\n") << qt + "verbose\n" + qt;
    QTest::newRow("tab after the key") << QByteArray("pinentry-program\t/a\n") << qt;
    QTest::newRow("no line end at the end") << QByteArray("verbose") << "verbose\n" + qt;
    QTest::newRow("windows line ends") << QByteArray("verbose\r\npinentry-program /a\r\n") << "verbose\n" + qt;
    QTest::newRow("longer key is another key") << QByteArray("pinentry-program-x 1\n") << "pinentry-program-x 1\n" + qt;
    QTest::newRow("utf-16 byte order mark is no encoding switch") << QByteArray("\xff\xfe# a\n") << "\xef\xbf\xbd\xef\xbf\xbd# a\n" + qt;
    QTest::newRow("utf-8 byte order mark dropped") << QByteArray("\xef\xbb\xbfverbose\n") << "verbose\n" + qt;
}

void GpgControlTest::mergesAgentConfiguration()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QBuffer buffer(&before);
    QVERIFY(buffer.open(QIODevice::ReadOnly | QIODevice::Text));
    QCOMPARE(GpgControl::mergeAgentConfiguration(buffer, {{Pinentry, PinentryQt}}).toUtf8(), after);
}

// A present home is left as it is, a missing one is made owner-only; a reload that fails,
// crashes or cannot start is an error, after the file was saved.
void GpgControlTest::writesTheAgentConfiguration()
{
    QTemporaryDir scratch(QStringLiteral("/tmp/kwXXXXXX"));
    const QFileDevice::Permissions open = QFile::permissions(scratch.path()) | QFileDevice::ReadOther | QFileDevice::ExeOther;
    QVERIFY(QFile::setPermissions(scratch.path(), open));
    GpgControl::setGnupgHomeForTesting(scratch.path());
    GpgControl::createGnupgHome();
    QCOMPARE(QFile::permissions(scratch.path()), open);
    const QString stub = scratch.filePath(QStringLiteral("gpg-connect-agent"));
    qputenv("PATH", QFile::encodeName(scratch.path()));
    for (const QByteArray &script : {QByteArray("exit 1"), QByteArray("kill -SEGV $$"), QByteArray()}) {
        QFile::remove(stub);
        QVERIFY(script.isEmpty() || writeFile(stub, "#!/bin/sh\n" + script + "\n", QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        QVERIFY(writeFile(GpgControl::agentConfigurationPath(), "verbose\n"));
        QCOMPARE(setPinentryFailure(), QStringLiteral("Can not reload gpg-agent"));
        QCOMPARE(readFile(GpgControl::agentConfigurationPath()), QByteArray("verbose\npinentry-program /usr/bin/pinentry-qt\n"));
    }

    GpgControl::setGnupgHomeForTesting(scratch.filePath(QStringLiteral("root/.gnupg")));
    QVERIFY(writeFile(stub, "#!/bin/sh\n", QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    const QString failure = setPinentryFailure();
    qputenv("PATH", GNUPG_STANDIN_DIR ":" + m_path);
    GpgControl::setGnupgHomeForTesting(m_home.path());
    QCOMPARE(failure, QString());
    QCOMPARE(readFile(scratch.filePath(QStringLiteral("root/.gnupg/gpg-agent.conf"))), QByteArray("pinentry-program /usr/bin/pinentry-qt\n"));
    // Owner, group and other bits; Qt's "user" bits describe the running account instead.
    QCOMPARE(QFile::permissions(scratch.filePath(QStringLiteral("root/.gnupg"))) & QFileDevice::Permissions(0x7077),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

QTEST_GUILESS_MAIN(GpgControlTest)

#include "gpgcontroltest.moc"

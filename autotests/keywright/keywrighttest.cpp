#include "keywright.h"
#include "gpgcontrol.h"

#include <QBuffer>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
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
bool gpg(const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(
        QStringLiteral("gpg"), QStringLiteral("--batch --pinentry-mode loopback --passphrase").split(QLatin1Char(' ')) + QStringList(QString()) + arguments);
    const bool ok = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (output) {
        *output = process.readAllStandardOutput();
    }
    return ok;
}

QStringList fingerprints(const QString &pattern)
{
    QByteArray listing;
    gpg({QStringLiteral("--with-colons"), QStringLiteral("--list-secret-keys"), pattern}, &listing);
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
    const bool ok = gpg(extra + QStringList {QStringLiteral("--yes"), QStringLiteral("--quick-gen-key"), userId, algorithm, usage, QStringLiteral("1d")});
    const QStringList found = ok ? fingerprints(QLatin1Char('=') + userId) : QStringList();
    return found.isEmpty() ? QString() : found.constLast();
}
}

// keywright and GpgControl with a real gpg whose GOST engine stand-in shows ECDSA keys on brainpoolP256r1
// as GOST keys; the installed-path program in keywright-sandbox.sh, where a scratch directory is root's home.
class KeywrightTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void keyOperations();
    void mergesAgentConfiguration_data();
    void mergesAgentConfiguration();
    void writesTheAgentConfiguration();
    void run_data();
    void run();

private:
    QTemporaryDir m_home {QStringLiteral("/tmp/kwXXXXXX")};
    QVariantMap m_expectedKeys;
    QString m_gost;
    QByteArray m_path = qgetenv("PATH");
};

void KeywrightTest::initTestCase()
{
    qputenv("PATH", GNUPG_STANDIN_DIR ":" + m_path);
    qputenv("GNUPGHOME", QFile::encodeName(m_home.path()));
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
    // gpg keeps a revocation certificate of every new key, guarded by a leading colon.
    const QString revocation = m_home.filePath(QStringLiteral("openpgp-revocs.d/%1.rev").arg(newKey(QStringLiteral("Revoked"), Curve)));
    QVERIFY(writeFile(revocation, readFile(revocation).replace("\n:-----BEGIN", "\n-----BEGIN")) && gpg({QStringLiteral("--import"), revocation}));
    QVERIFY(gpg({QStringLiteral("--edit-key"), newKey(QStringLiteral("Disabled"), Curve), QStringLiteral("disable"), QStringLiteral("quit")}));
    QVERIFY(!newKey(QStringLiteral("Expired"), Curve, QStringLiteral("sign"), {QStringLiteral("--faked-system-time=20200101T000000")}).isEmpty());
    // Of two signing subkeys the later one is listed.
    const QString twoSubkeys = newKey(QStringLiteral("Two Subkeys"), QStringLiteral("ed25519"), QStringLiteral("cert"));
    for (int i = 0; i < 2; ++i) {
        QVERIFY(gpg({QStringLiteral("--quick-add-key"), twoSubkeys, Curve + QStringLiteral("/ecdsa"), QStringLiteral("sign"), QStringLiteral("0")}));
    }
    m_expectedKeys.insert(QStringLiteral("Two Subkeys"), fingerprints(twoSubkeys).constLast());
}

void KeywrightTest::cleanupTestCase()
{
    qputenv("PATH", m_path);
    QProcess::execute(QStringLiteral("gpgconf --kill all"));
}

// The usable GOST signing keys are listed. Exports are refused without key id or path, for no key or two,
// to a missing directory: nothing is written. Imports of a missing file or of a file without keys report that.
void KeywrightTest::keyOperations()
{
    GpgControl control;
    QCOMPARE(control.keys(), m_expectedKeys);
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
    QVERIFY(gpg({QStringLiteral("--export"), m_gost}, &exported));
    QCOMPARE(readFile(path), exported);
    QCOMPARE(GpgControl().importZelmarkKey(path), QString());
    QCOMPARE(GpgControl().importZelmarkKey(path + QLatin1Char('x')), path + QStringLiteral("x. Can't open file"));
    QVERIFY(writeFile(path, "-----BEGIN PGP PUBLIC KEY BLOCK-----\n\n-----END PGP PUBLIC KEY BLOCK-----\n"));
    QCOMPARE(GpgControl().importZelmarkKey(path), path + QStringLiteral(". No key found in the file"));
}

void KeywrightTest::mergesAgentConfiguration_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    const QByteArray qt = "pinentry-program /usr/bin/pinentry-qt\n";
    QTest::newRow("indented key is not a key") << QByteArray("  pinentry-program /a\n") << "  pinentry-program /a\n" + qt;
    QTest::newRow("every one of two lines") << QByteArray("pinentry-program /a\nverbose\npinentry-program /b\n") << qt + "verbose\n" + qt;
    QTest::newRow("tab after the key") << QByteArray("pinentry-program\t/a\n") << qt;
    QTest::newRow("no line end at the end") << QByteArray("verbose") << "verbose\n" + qt;
    QTest::newRow("longer key is another key") << QByteArray("pinentry-program-x 1\n") << "pinentry-program-x 1\n" + qt;
    QTest::newRow("utf-16 byte order mark is no encoding switch") << QByteArray("\xff\xfe# a\n") << "\xef\xbf\xbd\xef\xbf\xbd# a\n" + qt;
    QTest::newRow("utf-8 byte order mark dropped") << QByteArray("\xef\xbb\xbfverbose\n") << "verbose\n" + qt;
}

void KeywrightTest::mergesAgentConfiguration()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QBuffer buffer(&before);
    QVERIFY(buffer.open(QIODevice::ReadOnly | QIODevice::Text));
    QCOMPARE(GpgControl::mergeAgentConfiguration(buffer, {{Pinentry, PinentryQt}}).toUtf8(), after);
}

// A present home is left as it is, a missing one is made owner-only; a reload that fails,
// crashes or cannot start is an error, after the file was saved.
void KeywrightTest::writesTheAgentConfiguration()
{
    const auto setPinentryFailure = [] {
        try {
            GpgControl::setAgentOption(Pinentry, PinentryQt);
        } catch (const std::runtime_error &error) {
            return QString::fromStdString(error.what());
        }
        return QString();
    };
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
    QCOMPARE(setPinentryFailure(), QString());
    QCOMPARE(readFile(scratch.filePath(QStringLiteral("root/.gnupg/gpg-agent.conf"))), QByteArray("pinentry-program /usr/bin/pinentry-qt\n"));
    // Owner, group and other bits; Qt's "user" bits describe the running account instead.
    QCOMPARE(QFile::permissions(scratch.filePath(QStringLiteral("root/.gnupg"))) & QFileDevice::Permissions(0x7077),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

void KeywrightTest::run_data()
{
    QTest::addColumn<QString>("options"); // of the sandbox, "standin" for the GOST engine stand-in on PATH, "NAME=value" for the environment
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("agentBefore"); // root's gpg-agent.conf before the run, if any
    QTest::addColumn<QByteArray>("outcome"); // the output of a refusal, or "key " and the new key's user id
    QTest::addColumn<QByteArray>("agentAfter");
    const QString standin = QStringLiteral("agent,standin");
    const QByteArray qt = "pinentry-program /usr/bin/pinentry-qt\n";
    const QByteArray own = "default-cache-ttl 600\n";
    const QByteArray noOption = "argument or options not found";
    const QByteArray control = "Name, e-mail and comment must not contain line breaks or other control characters";
    const auto genkey = [](const QStringList &values) { return QStringList {QStringLiteral("--genkey")} + values; };
    const QString ivan = QStringLiteral("Ivan Petrov");
    QTest::newRow("name, email, comment with a dash") << standin << genkey({ivan, QStringLiteral("ivan@example.org"), QStringLiteral("-signing")})
                                                      << QByteArray() << QByteArray("key Ivan Petrov (-signing) <ivan@example.org>") << qt;
    QTest::newRow("name only, values missing") << standin << genkey({QStringLiteral("Иван")}) << QByteArray() << QByteArray("key Иван") << qt;
    QTest::newRow("stock engine refuses, rest of the file kept")
        << QStringLiteral("agent") << genkey({ivan, QString(), QString()}) << "# root's\npinentry-program /usr/bin/pinentry-curses\n" + own
        << QByteArray("GPGME General error") << "# root's\n" + qt + own;
    QTest::newRow("no option") << QStringLiteral("-") << QStringList() << QByteArray() << noOption << QByteArray("<missing>");
    QTest::newRow("unknown option") << standin << QStringList {QStringLiteral("--help"), ivan} << own << noOption << own;
    QTest::newRow("no values") << standin << genkey({}) << own << QByteArray("Parameters map does not contains required keys") << own;
    QTest::newRow("line break in the name") << standin << genkey({QStringLiteral("Ivan\n Key-Type: RSA"), QString(), QString()}) << own << control << own;
    QTest::newRow("paragraph separator in the comment")
        << standin << genkey({ivan, QString(), QStringLiteral("x \u2029 Passphrase: 1")}) << own << control << own;
    QTest::newRow("line separator in the email") << standin << genkey({ivan, QStringLiteral("a@b.c\u2028"), QString()}) << own << control << own;
    QTest::newRow("remote display") << QStringLiteral("standin,DISPLAY=evil.example.org:0") << genkey({ivan}) << own
                                    << QByteArray("DISPLAY is not a local display such as \":0\"") << own;
    QTest::newRow("device as X authority") << QStringLiteral("standin,XAUTHORITY=/dev/null") << genkey({ivan}) << own
                                           << QByteArray("XAUTHORITY is not a regular file of the calling user") << own;
    QTest::newRow("home cannot be made") << QStringLiteral("read-only") << genkey({ivan}) << QByteArray() << QByteArray("Can not create dir /root/.gnupg")
                                         << QByteArray("<missing>");
    QTest::newRow("home read-only") << QStringLiteral("agent,read-only") << genkey({ivan}) << QByteArray()
                                    << QByteArray("Can not open file /root/.gnupg/gpg-agent.conf") << qt;
}

void KeywrightTest::run()
{
    QFETCH(QString, options);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, agentBefore);
    QFETCH(QByteArray, outcome);
    QFETCH(QByteArray, agentAfter);
    QTemporaryDir sandbox(QStringLiteral("/tmp/kwXXXXXX"));
    const QString agent = sandbox.filePath(QStringLiteral("root/.gnupg/gpg-agent.conf"));
    QVERIFY(agentBefore.isEmpty() || (QDir().mkpath(sandbox.filePath(QStringLiteral("root/.gnupg"))) && writeFile(agent, agentBefore)));
    qputenv("PATH", (options.contains(QLatin1String("standin")) ? GNUPG_STANDIN_DIR ":" : "") + m_path);
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("XAUTHORITY"));
    for (const QString &option : options.split(QLatin1Char(',')).filter(QStringLiteral("="))) {
        environment.insert(option.section(QLatin1Char('='), 0, 0), option.section(QLatin1Char('='), 1));
    }
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(KEYWRIGHT_SANDBOX), QStringList {options, sandbox.path(), QStringLiteral(KEYWRIGHT_PROGRAM)} + arguments);
    QVERIFY(process.waitForFinished(200000));
    const QByteArray printed = process.readAllStandardOutput();
    if (process.exitCode() == 77) {
        QSKIP(process.readAllStandardError().constData());
    }
    const QByteArray keys = readFile(sandbox.filePath(QStringLiteral("secret-keys.txt")));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(readFile(agent), agentAfter);
    if (!outcome.startsWith("key ")) {
        QCOMPARE(printed, outcome);
        QCOMPARE(process.exitCode(), 1);
        QVERIFY(!keys.startsWith("sec:") && !keys.contains("\nsec:"));
        return;
    }
    QVERIFY2(process.exitCode() == 0, QByteArray(printed + process.readAllStandardError()).constData());
    // A GOST key (algorithm 0 in the engine's listing) that does not expire, with the fingerprint printed.
    const QString made = QStringLiteral("^sec:u:256:0:[0-9A-F]{16}:[0-9]+::.*\nfpr:::::::::%1:").arg(QString::fromLatin1(printed));
    QVERIFY2(QRegularExpression(made, QRegularExpression::MultilineOption).match(QString::fromLatin1(keys)).hasMatch(), keys.constData());
    QVERIFY2(keys.contains("::" + outcome.mid(4) + "::"), keys.constData());
}

QTEST_GUILESS_MAIN(KeywrightTest)

#include "keywrighttest.moc"

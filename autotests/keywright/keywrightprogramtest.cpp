#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {
const int sandboxDeadlineMs = 200000;
const int sandboxUnavailable = 77;
const QByteArray agentConfiguration = "pinentry-program /usr/bin/pinentry-qt\n";

struct Run
{
    int exitCode = -1;
    QByteArray output;
    QByteArray errors;
    QByteArray secretKeys;
    QByteArray agentConfiguration;
};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool hasSecretKey(const QByteArray &listing)
{
    return listing.startsWith("sec:") || listing.contains("\nsec:");
}
}

/**
 * Runs the installed-path program itself: root's GnuPG home is a scratch directory bound
 * over /root in a private mount namespace, with a stub pinentry at /usr/bin/pinentry-qt.
 */
class KeywrightProgramTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void generatesAGostKey_data();
    void generatesAGostKey();
    void passesTheStockEngineRefusalOn();
    void reportsMissingOption();
    void keepsTheRestOfTheAgentConfiguration();
    void stopsAtAnUnknownOption();
    void treatsMissingValuesAsEmpty();
    void refusesControlCharacters_data();
    void refusesControlCharacters();
    void reportsAnUnwritableHome_data();
    void reportsAnUnwritableHome();

private:
    Run runInSandbox(const QStringList &sandboxOptions, const QStringList &arguments, const QByteArray &existingAgentConfiguration = QByteArray());
};

Run KeywrightProgramTest::runInSandbox(const QStringList &sandboxOptions, const QStringList &arguments, const QByteArray &existingAgentConfiguration)
{
    Run run;
    QTemporaryDir sandbox(QStringLiteral("/tmp/kwXXXXXX"));
    if (!sandbox.isValid()) {
        return run;
    }
    if (!existingAgentConfiguration.isEmpty()) {
        QDir().mkpath(sandbox.filePath(QStringLiteral("root/.gnupg")));
        QFile file(sandbox.filePath(QStringLiteral("root/.gnupg/gpg-agent.conf")));
        if (file.open(QIODevice::WriteOnly)) {
            file.write(existingAgentConfiguration);
        }
    }

    QProcess process;
    process.start(
        QStringLiteral(KEYWRIGHT_SANDBOX), sandboxOptions + QStringList {sandbox.path(), QStringLiteral("--"), QStringLiteral(KEYWRIGHT_PROGRAM)} + arguments);
    if (!process.waitForFinished(sandboxDeadlineMs)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.output = process.readAllStandardOutput();
    run.errors = process.readAllStandardError();
    run.secretKeys = readFile(sandbox.filePath(QStringLiteral("secret-keys.txt")));
    run.agentConfiguration = readFile(sandbox.filePath(QStringLiteral("root/.gnupg/gpg-agent.conf")));
    if (run.exitCode == sandboxUnavailable) {
        qWarning("%s", run.errors.constData());
    }
    return run;
}

#define SKIP_WITHOUT_SANDBOX(run)                                                                                                                              \
    if ((run).exitCode == sandboxUnavailable) {                                                                                                                \
        QSKIP("no private mount namespace with an overlay on /usr/bin here");                                                                                  \
    }

void KeywrightProgramTest::generatesAGostKey_data()
{
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<QByteArray>("userId");

    QTest::newRow("name, email and comment") << QStringList {QStringLiteral("Ivan Petrov"), QStringLiteral("ivan@example.org"), QStringLiteral("signing")}
                                             << QByteArray("Ivan Petrov (signing) <ivan@example.org>");
    QTest::newRow("name only, others empty") << QStringList {QStringLiteral("Ivan Petrov"), QString(), QString()} << QByteArray("Ivan Petrov");
    QTest::newRow("comment starting with a dash") << QStringList {QStringLiteral("Ivan Petrov"), QStringLiteral("ivan@example.org"), QStringLiteral("-signing")}
                                                  << QByteArray("Ivan Petrov (-signing) <ivan@example.org>");
    QTest::newRow("cyrillic name and email") << QStringList {QStringLiteral("Иван"), QStringLiteral("ivan@example.org"), QString()}
                                             << QByteArray("Иван <ivan@example.org>");
}

void KeywrightProgramTest::generatesAGostKey()
{
    QFETCH(QStringList, values);
    QFETCH(QByteArray, userId);

    const Run run = runInSandbox(
        {QStringLiteral("--agent"), QStringLiteral("--path"), QStringLiteral(GNUPG_STANDIN_DIR)}, QStringList {QStringLiteral("--genkey")} + values);
    SKIP_WITHOUT_SANDBOX(run);

    QVERIFY2(run.exitCode == 0, QByteArray(run.output + run.errors).constData());
    QVERIFY2(QRegularExpression(QStringLiteral("^[0-9A-F]{40}$")).match(QString::fromLatin1(run.output)).hasMatch(), run.output.constData());
    QVERIFY(run.secretKeys.contains("\nfpr:::::::::" + run.output + ":"));
    QVERIFY(run.secretKeys.contains("sec:u:256:0:"));
    QVERIFY2(run.secretKeys.contains("::" + userId + "::"), run.secretKeys.constData());
    QCOMPARE(run.agentConfiguration, agentConfiguration);
}

void KeywrightProgramTest::passesTheStockEngineRefusalOn()
{
    const Run run = runInSandbox({QStringLiteral("--agent")}, {QStringLiteral("--genkey"), QStringLiteral("Ivan Petrov"), QString(), QString()});
    SKIP_WITHOUT_SANDBOX(run);

    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.output, QByteArray("GPGME General error"));
    QVERIFY(!hasSecretKey(run.secretKeys));
}

void KeywrightProgramTest::reportsMissingOption()
{
    const Run run = runInSandbox({}, {});
    SKIP_WITHOUT_SANDBOX(run);

    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.output, QByteArray("argument or options not found"));
    QCOMPARE(run.agentConfiguration, QByteArray());
}

void KeywrightProgramTest::keepsTheRestOfTheAgentConfiguration()
{
    // The stock engine refuses the key after the agent was set up.
    const Run run = runInSandbox({QStringLiteral("--agent")}, {QStringLiteral("--genkey"), QStringLiteral("Ivan Petrov")},
        "# root's agent\npinentry-program /usr/bin/pinentry-curses\ndefault-cache-ttl 600\n");
    SKIP_WITHOUT_SANDBOX(run);

    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.agentConfiguration, QByteArray("# root's agent\npinentry-program /usr/bin/pinentry-qt\ndefault-cache-ttl 600\n"));
}

void KeywrightProgramTest::stopsAtAnUnknownOption()
{
    const Run run = runInSandbox({}, {QStringLiteral("--help")});
    SKIP_WITHOUT_SANDBOX(run);

    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.output, QByteArray("argument or options not found"));
    // The run ends before the agent is touched.
    QCOMPARE(run.agentConfiguration, QByteArray());
}

void KeywrightProgramTest::treatsMissingValuesAsEmpty()
{
    const Run withoutValues = runInSandbox({QStringLiteral("--agent")}, {QStringLiteral("--genkey")});
    SKIP_WITHOUT_SANDBOX(withoutValues);
    QCOMPARE(withoutValues.exitCode, 1);
    QCOMPARE(withoutValues.output, QByteArray("Parameters map does not contains required keys"));

    const Run nameOnly = runInSandbox(
        {QStringLiteral("--agent"), QStringLiteral("--path"), QStringLiteral(GNUPG_STANDIN_DIR)}, {QStringLiteral("--genkey"), QStringLiteral("Ivan Petrov")});
    QVERIFY2(nameOnly.exitCode == 0, QByteArray(nameOnly.output + nameOnly.errors).constData());
    QCOMPARE(nameOnly.output.size(), 40);
    QVERIFY(nameOnly.secretKeys.contains("::Ivan Petrov::"));
}

void KeywrightProgramTest::refusesControlCharacters_data()
{
    QTest::addColumn<QStringList>("values");

    QTest::newRow("line break in the name") << QStringList {QStringLiteral("Ivan\n Key-Type: RSA"), QString(), QString()};
    QTest::newRow("passphrase line through the comment") << QStringList {QStringLiteral("Ivan"), QString(), QStringLiteral("x \n Passphrase: 1")};
    QTest::newRow("carriage return in the email") << QStringList {QStringLiteral("Ivan"), QStringLiteral("a@b.c\r"), QString()};
    QTest::newRow("tab in the name") << QStringList {QStringLiteral("Iv\tan"), QString(), QString()};
    QTest::newRow("escape in the comment") << QStringList {QStringLiteral("Ivan"), QString(), QStringLiteral("\x1b[1m")};
}

void KeywrightProgramTest::refusesControlCharacters()
{
    QFETCH(QStringList, values);

    const QByteArray rootsOwn = "default-cache-ttl 600\n";
    const Run run = runInSandbox(
        {QStringLiteral("--agent"), QStringLiteral("--path"), QStringLiteral(GNUPG_STANDIN_DIR)}, QStringList {QStringLiteral("--genkey")} + values, rootsOwn);
    SKIP_WITHOUT_SANDBOX(run);

    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.output, QByteArray("Name, e-mail and comment must not contain line breaks or other control characters"));
    QVERIFY(!hasSecretKey(run.secretKeys));
    // Refused before root's agent configuration is touched.
    QCOMPARE(run.agentConfiguration, rootsOwn);
}

void KeywrightProgramTest::reportsAnUnwritableHome_data()
{
    QTest::addColumn<QStringList>("sandboxOptions");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("home missing") << QStringList {QStringLiteral("--read-only")} << QByteArray("Can not create dir /root/.gnupg");
    QTest::newRow("home present") << QStringList {QStringLiteral("--agent"), QStringLiteral("--read-only")}
                                  << QByteArray("Can not open file /root/.gnupg/gpg-agent.conf");
}

void KeywrightProgramTest::reportsAnUnwritableHome()
{
    QFETCH(QStringList, sandboxOptions);
    QFETCH(QByteArray, expected);

    const Run run = runInSandbox(sandboxOptions + QStringList {QStringLiteral("--path"), QStringLiteral(GNUPG_STANDIN_DIR)},
        {QStringLiteral("--genkey"), QStringLiteral("Ivan Petrov")});
    SKIP_WITHOUT_SANDBOX(run);

    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.output, expected);
    QVERIFY(!hasSecretKey(run.secretKeys));
}

QTEST_GUILESS_MAIN(KeywrightProgramTest)

#include "keywrightprogramtest.moc"

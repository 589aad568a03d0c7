#include "keywright.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

// The key-generation program: its parameter block and the refusal of values that could add
// lines to it, then the installed-path program itself. For that, root's GnuPG home is a
// scratch directory bound over /root in a private mount namespace, with a stub pinentry at
// /usr/bin/pinentry-qt (keywright-sandbox.sh).
class KeywrightTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void keyParameters_data();
    void keyParameters();
    void controlCharacters();
    void run_data();
    void run();
};

void KeywrightTest::keyParameters_data()
{
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<QString>("lines");
    QTest::newRow("all") << QStringList {QStringLiteral("Ivan Petrov"), QStringLiteral("ivan@example.org"), QStringLiteral("signing")}
                         << QStringLiteral(" Name-Real: Ivan Petrov \n Name-Comment: signing \n Name-Email: ivan@example.org \n");
    QTest::newRow("name only") << QStringList {QStringLiteral("Ivan "), QString(), QString()} << QStringLiteral(" Name-Real: Ivan  \n");
    QTest::newRow("no name, email") << QStringList {QString(), QStringLiteral("a b@c"), QString()} << QStringLiteral(" Name-Real:  \n Name-Email: a b@c \n");
    QTest::newRow("values unchanged") << QStringList {QStringLiteral("Иван <П>"), QString(), QStringLiteral("%no-protection")}
                                      << QStringLiteral(" Name-Real: Иван <П> \n Name-Comment: %no-protection \n");
}

void KeywrightTest::keyParameters()
{
    QFETCH(QStringList, values);
    QFETCH(QString, lines);
    QCOMPARE(Keywright::keyParameters(values.at(0), values.at(1), values.at(2)),
        QStringLiteral("<GnupgKeyParms format=\"internal\">\n Key-Type: GOST_R34.10-2012 \n") + lines + QStringLiteral(" Expire-Date: 0 \n</GnupgKeyParms>"));
}

void KeywrightTest::controlCharacters()
{
    for (const QString &plain : {QStringLiteral("Ivan Petrov"), QString(), QStringLiteral("Иван (ключ) <a@b.c> - 1")}) {
        QVERIFY(!Keywright::containsControlCharacter(plain));
    }
    for (const QChar control : {QChar(u'\n'), QChar(u'\r'), QChar(u'\t'), QChar(0x1b), QChar(0x7f), QChar(0x85), QChar(0x2028), QChar(0x2029)}) {
        QVERIFY2(Keywright::containsControlCharacter(QStringLiteral("a") + control), qPrintable(QString::number(control.unicode())));
    }
    QCOMPARE(Keywright::parameterProblem(QString(), QString(), QString()), QStringLiteral("Parameters map does not contains required keys"));
    QCOMPARE(Keywright::parameterProblem(QStringLiteral("Ivan"), QString(), QString()), QString());
}

void KeywrightTest::run_data()
{
    QTest::addColumn<QString>("sandboxOptions");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("agentBefore"); // root's gpg-agent.conf before the run, if any
    QTest::addColumn<QByteArray>("outcome"); // the output of a refusal, or "key " and the new key's user id
    QTest::addColumn<QByteArray>("agentAfter");

    const QString standin = QStringLiteral("--agent --path " GNUPG_STANDIN_DIR);
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
        << QStringLiteral("--agent") << genkey({ivan, QString(), QString()}) << "# root's\npinentry-program /usr/bin/pinentry-curses\n" + own
        << QByteArray("GPGME General error") << "# root's\n" + qt + own;
    QTest::newRow("no option") << QString() << QStringList() << QByteArray() << noOption << QByteArray("<missing>");
    QTest::newRow("unknown option") << standin << QStringList {QStringLiteral("--help"), ivan} << own << noOption << own;
    QTest::newRow("no values") << standin << genkey({}) << own << QByteArray("Parameters map does not contains required keys") << own;
    QTest::newRow("line break in the name") << standin << genkey({QStringLiteral("Ivan\n Key-Type: RSA"), QString(), QString()}) << own << control << own;
    QTest::newRow("passphrase line in the comment") << standin << genkey({ivan, QString(), QStringLiteral("x \n Passphrase: 1")}) << own << control << own;
    QTest::newRow("carriage return in the email") << standin << genkey({ivan, QStringLiteral("a@b.c\r"), QString()}) << own << control << own;
    QTest::newRow("home cannot be made") << QStringLiteral("--read-only") << genkey({ivan}) << QByteArray() << QByteArray("Can not create dir /root/.gnupg")
                                         << QByteArray("<missing>");
    QTest::newRow("home read-only") << QStringLiteral("--agent --read-only") << genkey({ivan}) << QByteArray()
                                    << QByteArray("Can not open file /root/.gnupg/gpg-agent.conf") << qt;
}

void KeywrightTest::run()
{
    QFETCH(QString, sandboxOptions);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, agentBefore);
    QFETCH(QByteArray, outcome);
    QFETCH(QByteArray, agentAfter);

    QTemporaryDir sandbox(QStringLiteral("/tmp/kwXXXXXX"));
    QFile agent(sandbox.filePath(QStringLiteral("root/.gnupg/gpg-agent.conf")));
    QVERIFY(QDir().mkpath(sandbox.filePath(agentBefore.isEmpty() ? QStringLiteral("root") : QStringLiteral("root/.gnupg"))));
    QVERIFY(agentBefore.isEmpty() || (agent.open(QIODevice::WriteOnly) && agent.write(agentBefore) && agent.flush()));
    agent.close();

    QProcess process;
    process.start(QStringLiteral(KEYWRIGHT_SANDBOX),
        sandboxOptions.split(QLatin1Char(' '), Qt::SkipEmptyParts) + QStringList {sandbox.path(), QStringLiteral("--"), QStringLiteral(KEYWRIGHT_PROGRAM)}
            + arguments);
    QVERIFY(process.waitForFinished(200000));
    const QByteArray printed = process.readAllStandardOutput();
    if (process.exitCode() == 77) {
        QSKIP(process.readAllStandardError().constData());
    }
    QFile secretKeys(sandbox.filePath(QStringLiteral("secret-keys.txt")));
    const QByteArray keys = secretKeys.open(QIODevice::ReadOnly) ? secretKeys.readAll() : QByteArray();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(agent.open(QIODevice::ReadOnly) ? agent.readAll() : QByteArray("<missing>"), agentAfter);
    if (!outcome.startsWith("key ")) {
        QCOMPARE(printed, outcome);
        QCOMPARE(process.exitCode(), 1);
        QVERIFY(!keys.startsWith("sec:") && !keys.contains("\nsec:"));
        return;
    }
    QVERIFY2(process.exitCode() == 0, QByteArray(printed + process.readAllStandardError()).constData());
    QVERIFY2(QRegularExpression(QStringLiteral("^[0-9A-F]{40}$")).match(QString::fromLatin1(printed)).hasMatch(), printed.constData());
    QVERIFY(keys.contains("\nfpr:::::::::" + printed + ":"));
    QVERIFY(keys.contains("sec:u:256:0:"));
    QVERIFY2(keys.contains("::" + outcome.mid(4) + "::"), keys.constData());
}

QTEST_GUILESS_MAIN(KeywrightTest)

#include "keywrighttest.moc"

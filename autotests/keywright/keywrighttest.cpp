#include "keywright.h"
#include "gpgcontrol.h"

#include <QBuffer>
#include <QTest>

// The parts of key creation that need no GnuPG: the parameter block, the refusal of values
// that could add lines to it, and the merge of options into gpg-agent.conf.
class KeywrightTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void keyParameters_data();
    void keyParameters();
    void controlCharacters();
    void mergeAgentConfiguration_data();
    void mergeAgentConfiguration();
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

void KeywrightTest::mergeAgentConfiguration_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    const QByteArray qt = "pinentry-program /usr/bin/pinentry-qt\n";
    QTest::newRow("empty file") << QByteArray() << qt;
    QTest::newRow("three lines") << QByteArray("# options\npinentry-program /usr/bin/pinentry-curses\ndefault-cache-ttl 600\n")
                                 << "# options\n" + qt + "default-cache-ttl 600\n";
    QTest::newRow("indented key is not a key") << QByteArray("  pinentry-program /a\n") << "  pinentry-program /a\n" + qt;
    QTest::newRow("every one of two lines") << QByteArray("pinentry-program /a\nverbose\npinentry-program /b\n") << qt + "verbose\n" + qt;
    QTest::newRow("tab after the key") << QByteArray("pinentry-program\t/a\n") << qt;
    QTest::newRow("key without value") << QByteArray("pinentry-program\n") << qt;
    QTest::newRow("no line end at the end") << QByteArray("verbose") << "verbose\n" + qt;
    QTest::newRow("windows line ends") << QByteArray("verbose\r\npinentry-program /a\r\n") << "verbose\n" + qt;
    QTest::newRow("empty lines and comments kept") << QByteArray("\n# pinentry-program /x\n\n") << "\n# pinentry-program /x\n\n" + qt;
    QTest::newRow("longer key is another key") << QByteArray("pinentry-program-x 1\n") << "pinentry-program-x 1\n" + qt;
    QTest::newRow("utf-16 byte order mark is no encoding switch") << QByteArray("\xff\xfe# a\n") << "\xef\xbf\xbd\xef\xbf\xbd# a\n" + qt;
    QTest::newRow("utf-8 byte order mark dropped") << QByteArray("\xef\xbb\xbfverbose\n") << "verbose\n" + qt;
    QTest::newRow("utf-8 kept") << QByteArray("# ключ агента\n") << "# ключ агента\n" + qt;
}

void KeywrightTest::mergeAgentConfiguration()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QBuffer buffer(&before);
    QVERIFY(buffer.open(QIODevice::ReadOnly | QIODevice::Text));
    const QHash<QString, QString> options {{QStringLiteral("pinentry-program"), QStringLiteral("/usr/bin/pinentry-qt")}};
    QCOMPARE(GpgControl::mergeAgentConfiguration(buffer, options).toUtf8(), after);
}

QTEST_GUILESS_MAIN(KeywrightTest)

#include "keywrighttest.moc"

#include "keywright.h"

#include <QTest>

class KeyParametersTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void buildsTheBlock_data();
    void buildsTheBlock();
    void findsControlCharacters_data();
    void findsControlCharacters();
};

void KeyParametersTest::buildsTheBlock_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("email");
    QTest::addColumn<QString>("comment");
    QTest::addColumn<QString>("expected");

    const QString head = QStringLiteral("<GnupgKeyParms format=\"internal\">\n Key-Type: GOST_R34.10-2012 \n");
    const QString tail = QStringLiteral(" Expire-Date: 0 \n</GnupgKeyParms>");
    const QString nameLine = QStringLiteral(" Name-Real: Ivan Petrov \n");
    const QString emailLine = QStringLiteral(" Name-Email: ivan@example.org \n");
    const QString commentLine = QStringLiteral(" Name-Comment: signing \n");

    for (int mask = 0; mask < 8; ++mask) {
        const bool withName = mask & 1;
        const bool withEmail = mask & 2;
        const bool withComment = mask & 4;
        QString expected = head + (withName ? nameLine : QStringLiteral(" Name-Real:  \n"));
        if (withComment) {
            expected += commentLine;
        }
        if (withEmail) {
            expected += emailLine;
        }
        expected += tail;
        const QByteArray row = QByteArray("name ") + (withName ? "given" : "empty") + ", email " + (withEmail ? "given" : "empty") + ", comment "
            + (withComment ? "given" : "empty");
        QTest::newRow(row.constData()) << (withName ? QStringLiteral("Ivan Petrov") : QString()) << (withEmail ? QStringLiteral("ivan@example.org") : QString())
                                       << (withComment ? QStringLiteral("signing") : QString()) << expected;
    }
    QTest::newRow("name ending with a space") << QStringLiteral("Ivan ") << QString() << QString() << head + QStringLiteral(" Name-Real: Ivan  \n") + tail;
    QTest::newRow("values go in unchanged") << QStringLiteral("Иван <Петров>") << QStringLiteral("a b@c") << QStringLiteral("%no-protection")
                                            << head + QStringLiteral(" Name-Real: Иван <Петров> \n Name-Comment: %no-protection \n Name-Email: a b@c \n")
            + tail;
}

void KeyParametersTest::buildsTheBlock()
{
    QFETCH(QString, name);
    QFETCH(QString, email);
    QFETCH(QString, comment);
    QFETCH(QString, expected);

    QCOMPARE(Keywright::keyParameters(name, email, comment), expected);
}

void KeyParametersTest::findsControlCharacters_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("found");

    QTest::newRow("plain") << QStringLiteral("Ivan Petrov") << false;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("cyrillic and punctuation") << QStringLiteral("Иван (ключ) <a@b.c> - 1") << false;
    QTest::newRow("line feed") << QStringLiteral("Ivan\n Key-Type: RSA") << true;
    QTest::newRow("carriage return") << QStringLiteral("Ivan\r") << true;
    QTest::newRow("tab") << QStringLiteral("a\tb") << true;
    QTest::newRow("escape") << QStringLiteral("a\x1b[0m") << true;
    QTest::newRow("delete") << QStringLiteral("a\x7f") << true;
    QTest::newRow("C1 next line") << QString(QChar(0x85)) << true;
    QTest::newRow("line separator") << QString(QChar(0x2028)) << true;
    QTest::newRow("paragraph separator") << QString(QChar(0x2029)) << true;
}

void KeyParametersTest::findsControlCharacters()
{
    QFETCH(QString, value);
    QFETCH(bool, found);

    QCOMPARE(Keywright::containsControlCharacter(value), found);
}

QTEST_GUILESS_MAIN(KeyParametersTest)

#include "keyparameterstest.moc"

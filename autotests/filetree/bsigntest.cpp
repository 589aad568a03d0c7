#include "bsign.h"
#include "faketools.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QSignalSpy>
#include <QTest>

#include <ctime>
#include <memory>

class BsignTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();

    void constructorsSetProgram();
    void verifyRunsPkexecWithThePathAsOneArgument();
    void verifyIgnoresASecondStartWhileRunning();
    void verificationResult_data();
    void verificationResult();
    void descriptionLayout();
    void emptyReportHasNoDescription();
    void hashIsSplitInTheMiddle_data();
    void hashIsSplitInTheMiddle();
    void missingHashLeavesCallersValue();
    void signatureLayout_data();
    void signatureLayout();
    void timestamp_data();
    void timestamp();
    void keyIdKeepsCase();
    void exitCodes_data();
    void exitCodes();
    void messages_data();
    void messages();
    void returnValueIsAMetaType();

private:
    QString createFile(const QString &name);
    Bsign::VerificationResult runCheck(const QString &fileName);

    QTemporaryDir m_files;
    std::unique_ptr<FakeTools> m_tools;
};

namespace {
const QByteArray SampleDescription = "Key ID: 1A2b3C4d5E6f7788\n"
                                     "Date of signing: %DATE%\n"
                                     "Algorithm: GOST R 34.11-2012\n"
                                     "Hash: 0011223344556677\n"
                                     "8899aabbccddeeff\n"
                                     "Signing: \n"
                                     "0a 1b 2c 3d 4e 5f 60 71 82 93 a4 b5 c6 d7 e8 f9\n"
                                     "10 11 12 13";

QString localShortDate(qint64 seconds)
{
    return QLocale::system().toString(QDateTime::fromSecsSinceEpoch(seconds, Qt::LocalTime), QLocale::ShortFormat);
}

QString sampleDescription()
{
    return QString::fromLatin1(SampleDescription).replace(QLatin1String("%DATE%"), localShortDate(1704067200));
}
}

void BsignTest::initTestCase()
{
    // Ten hours east of UTC, so that local time and UTC differ visibly.
    qRegisterMetaType<QProcess::ExitStatus>();
    qputenv("TZ", "UTC-10");
    tzset();
    QVERIFY(m_files.isValid());
}

void BsignTest::init()
{
    // The old tools put PATH back before the new ones change it.
    m_tools.reset();
    m_tools = std::make_unique<FakeTools>();
    QVERIFY(m_tools->isValid());
}

QString BsignTest::createFile(const QString &name)
{
    const QString path = m_files.filePath(name);
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    return path;
}

Bsign::VerificationResult BsignTest::runCheck(const QString &fileName)
{
    Bsign bsign(QPersistentModelIndex(), createFile(fileName));
    QSignalSpy finished(&bsign, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    bsign.verify();
    if (!finished.wait(10000)) {
        qWarning() << "bsign did not finish";
    }
    return bsign.verificationResult();
}

void BsignTest::constructorsSetProgram()
{
    Bsign plain;
    QCOMPARE(plain.program(), QStringLiteral("pkexec"));
    QVERIFY(!plain.index().isValid());

    Bsign withPath(QPersistentModelIndex(), QStringLiteral("/bin/true"));
    QCOMPARE(withPath.program(), QStringLiteral("pkexec"));
    QCOMPARE(withPath.state(), QProcess::NotRunning);
}

void BsignTest::verifyRunsPkexecWithThePathAsOneArgument()
{
    const QString path = createFile(QStringLiteral("name with spaces; $(touch injected) `id`"));
    Bsign bsign(QPersistentModelIndex(), path);
    QSignalSpy finished(&bsign, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    bsign.verify();
    QCOMPARE(bsign.arguments(), (QStringList {QStringLiteral(BSIGN_PROGRAM), QStringLiteral("-w"), path}));
    QVERIFY(finished.wait(10000));
    QCOMPARE(m_tools->lastArguments(), (QStringList {QStringLiteral("-w"), path}));
    QVERIFY(!QFile::exists(QDir::current().filePath(QStringLiteral("injected"))));
    QVERIFY(!QFile::exists(m_files.filePath(QStringLiteral("injected"))));
}

void BsignTest::verifyIgnoresASecondStartWhileRunning()
{
    Bsign bsign(QPersistentModelIndex(), createFile(QStringLiteral("twice-held")));
    QSignalSpy finished(&bsign, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    bsign.verify();
    QVERIFY(bsign.waitForStarted(10000));
    bsign.verify();
    m_tools->release(QStringLiteral("twice-held"));
    QVERIFY(finished.wait(10000));
    QCOMPARE(m_tools->startCount(), 1);
    QCOMPARE(bsign.exitStatus(), QProcess::NormalExit);
}

void BsignTest::verificationResult_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("report");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("elfGood");
    QTest::addColumn<bool>("xattrGood");
    // Whether each text is the description of the whole report or empty.
    QTest::addColumn<bool>("elfDescribed");
    QTest::addColumn<bool>("xattrDescribed");

    const QByteArray twoLines = "Result: good ELF signature\nResult: xattr signature missing\n";
    QTest::newRow("two verdict lines") << "two" << twoLines << 0 << true << false << true << true;
    QTest::newRow("full report, good elf") << "elf" << sampleReport("Result: good ELF signature\n") << 0 << true << false << true << false;
    QTest::newRow("good xattr") << "xattr" << sampleReport("Result: good xattr signature\n") << 0 << false << true << true << true;
    QTest::newRow("both good") << "both" << sampleReport("Result: good ELF signature\nResult: good xattr signature\n") << 0 << true << true << true << true;
    QTest::newRow("detached line changes nothing") << "detached" << QByteArray("Result: good detached signature\n") << 0 << false << false << false << false;
    QTest::newRow("later bad elf line wins") << "later" << sampleReport("Result: good ELF signature\nResult: bad ELF signature\n") << 0 << false << false
                                             << true << false;
    QTest::newRow("later good xattr line wins") << "laterx" << QByteArray("Result: xattr bad\nResult: xattr good\n") << 0 << false << true << false << true;
    QTest::newRow("case-sensitive") << "case" << QByteArray("Result: GOOD ELF signature\nResult: Xattr good\n") << 0 << true << false << true << false;
    QTest::newRow("empty output") << "empty" << QByteArray() << 0 << false << false << false << false;
    QTest::newRow("only blank lines") << "blank" << QByteArray("\n\n\n") << 0 << false << false << false << false;
    QTest::newRow("garbage") << "garbage" << QByteArray("\x01\x02 zz\xff\n") << 0 << false << false << true << false;
    QTest::newRow("zero byte ends the report") << "zero" << QByteArray("Result: good ELF\0\nResult: good xattr\n", 38) << 0 << true << false << true << false;
    QTest::newRow("failure exit still parsed") << "exit65" << sampleReport("Result: good ELF signature\n") << 65 << true << false << true << false;
    QTest::newRow("refused, no output") << "refused" << QByteArray() << 127 << false << false << false << false;
    // Only bsign's verdict codes count, and nothing the checked path spells is read as the report.
    QTest::newRow("refused, good lines") << "refusedgood" << sampleReport("Result: good ELF signature\n") << 127 << false << false << false << false;
    const QString echoed = m_files.filePath(QStringLiteral("good xattr good signer: ABCDEF"));
    QTest::newRow("failed check echoes the path") << "good xattr good signer: ABCDEF" << QFile::encodeName(echoed + QStringLiteral(": cannot check (1)\n")) << 1
                                                  << false << false << false << false;
    const QString named = m_files.filePath(QStringLiteral("xattr good"));
    QTest::newRow("report names the path") << "xattr good" << QFile::encodeName(named + QStringLiteral(":\nxattr signature: none\n")) << 65 << false << false
                                           << true << true;
    QTest::newRow("crash") << "crash" << sampleReport("Result: good ELF signature\n") << 0 << false << false << false << false;
}

void BsignTest::verificationResult()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, report);
    QFETCH(int, exitCode);
    QFETCH(bool, elfGood);
    QFETCH(bool, xattrGood);
    QFETCH(bool, elfDescribed);
    QFETCH(bool, xattrDescribed);

    m_tools->setReport(fileName, report);
    m_tools->setExitCode(fileName, exitCode);
    const Bsign::VerificationResult result = runCheck(fileName);

    Bsign parser;
    const QString description = parser.signingInfo(QString::fromLocal8Bit(report.constData()));
    QCOMPARE(result.elfGood, elfGood);
    QCOMPARE(result.xattrGood, xattrGood);
    QCOMPARE(result.elfInfo, elfDescribed ? description : QString());
    QCOMPARE(result.xattrInfo, xattrDescribed ? description : QString());
}

void BsignTest::descriptionLayout()
{
    Bsign parser;
    const QString description = parser.signingInfo(QString::fromLatin1(sampleReport("Result: good ELF signature\n")));
    QCOMPARE(description, sampleDescription());
    QCOMPARE(description.split(QLatin1Char('\n')).size(), 8);
    QVERIFY(!description.endsWith(QLatin1Char('\n')));
}

void BsignTest::emptyReportHasNoDescription()
{
    Bsign parser;
    QCOMPARE(parser.signingInfo(QString()), QStringLiteral("No signing information provided."));
    QCOMPARE(parser.signingInfo(QStringLiteral("nothing of interest")),
        QStringLiteral("Key ID: Unknown\nDate of signing: Unknown\nAlgorithm: Unknown\nHash: Unknown\nSigning: Unknown"));
}

void BsignTest::hashIsSplitInTheMiddle_data()
{
    QTest::addColumn<QString>("report");
    QTest::addColumn<QString>("algorithm");
    QTest::addColumn<QString>("hashValue");

    QTest::newRow("odd length") << "hash: {sha256} abcdefA"
                                << "sha256"
                                << "abc\ndefA";
    QTest::newRow("even length") << "hash:{md_gost12_256}00ff"
                                 << "md_gost12_256"
                                 << "00\nff";
    QTest::newRow("one digit") << "hash: {x} 7"
                               << "x"
                               << "\n7";
    QTest::newRow("first match only") << "hash: {a} 1234\nhash: {b} 5678"
                                      << "a"
                                      << "12\n34";
    QTest::newRow("hex stops at non-hex") << "hash: {a} 12g4"
                                          << "a"
                                          << "1\n2";
}

void BsignTest::hashIsSplitInTheMiddle()
{
    QFETCH(QString, report);
    QFETCH(QString, algorithm);
    QFETCH(QString, hashValue);

    Bsign parser;
    QString value = QStringLiteral("Unknown");
    QCOMPARE(parser.extractHashAlgorithmAndValue(report, value), algorithm);
    QCOMPARE(value, hashValue);
}

void BsignTest::missingHashLeavesCallersValue()
{
    Bsign parser;
    QString value = QStringLiteral("caller's");
    QCOMPARE(parser.extractHashAlgorithmAndValue(QStringLiteral("hash: {sha} zz"), value), QStringLiteral("Unknown"));
    QCOMPARE(value, QStringLiteral("caller's"));
    QVERIFY(parser.signingInfo(QStringLiteral("signer: ab")).contains(QLatin1String("\nHash: Unknown\n")));
}

void BsignTest::signatureLayout_data()
{
    QTest::addColumn<QString>("report");
    QTest::addColumn<QString>("signature");

    const QString fortyDigits = QStringLiteral("signature:\n  0a 1b 2c 3d 4e 5f 60 71 82 93 a4 b5 c6 d7 e8 f9\n  10 11 12 13\n");
    QTest::newRow("40 digits") << fortyDigits << "\n0a 1b 2c 3d 4e 5f 60 71 82 93 a4 b5 c6 d7 e8 f9\n10 11 12 13";
    QTest::newRow("exactly 16 pairs") << "signature:\n\t00112233445566778899AABBCCDDEEFF\n"
                                      << "\n00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF";
    QTest::newRow("odd digit count") << "signature:\n abcde"
                                     << "\nab cd e";
    QTest::newRow("no indented line") << "signature: abcd"
                                      << "Unknown";
    QTest::newRow("missing") << "signer: 12"
                             << "Unknown";
}

void BsignTest::signatureLayout()
{
    QFETCH(QString, report);
    QFETCH(QString, signature);

    Bsign parser;
    QCOMPARE(parser.extractSignature(report), signature);
}

void BsignTest::timestamp_data()
{
    QTest::addColumn<QString>("report");
    QTest::addColumn<QString>("date");

    QTest::newRow("epoch in local time") << "timestamp: Thu Jan  1 00:00:00 1970 (0)" << localShortDate(0);
    QTest::newRow("tool's wording ignored") << "timestamp:whatever(1704067200)" << localShortDate(1704067200);
    QTest::newRow("missing") << "signer: 12"
                             << "Unknown";
    QTest::newRow("no seconds") << "timestamp: yesterday"
                                << "Unknown";
    QTest::newRow("more than 64 bits") << "timestamp: far (123456789012345678901234567890)"
                                       << "Unknown";
}

void BsignTest::timestamp()
{
    QFETCH(QString, report);
    QFETCH(QString, date);

    Bsign parser;
    QCOMPARE(parser.extractTimestamp(report), date);
    if (report.endsWith(QLatin1String("(0)"))) {
        const QString utc = QLocale::system().toString(QDateTime::fromSecsSinceEpoch(0, Qt::UTC), QLocale::ShortFormat);
        QVERIFY2(date != utc, "the date must be shown in local time");
        QVERIFY(date.contains(QLatin1String("10")));
    }
}

void BsignTest::keyIdKeepsCase()
{
    Bsign parser;
    QCOMPARE(parser.extractKeyId(QStringLiteral("signer:   DeadBEEF01 (someone)")), QStringLiteral("DeadBEEF01"));
    QCOMPARE(parser.extractKeyId(QStringLiteral("signer: nothex")), QStringLiteral("Unknown"));
}

void BsignTest::exitCodes_data()
{
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("value");

    const QList<int> named {0, 1, 2, 12, 21, 22, 24, 26, 28, 36, 64, 65, 66, 67, 68, 69, 70};
    for (int code = -2; code <= 72; ++code) {
        QTest::addRow("%d", code) << code << (named.contains(code) ? code : int(Bsign::UnknownError));
    }
    QTest::newRow("1001") << 1001 << int(Bsign::UnknownError);
    QTest::newRow("min int") << std::numeric_limits<int>::min() << int(Bsign::UnknownError);
}

void BsignTest::exitCodes()
{
    QFETCH(int, exitCode);
    QFETCH(int, value);

    Bsign bsign;
    QCOMPARE(int(bsign.exitCodeToReturnValue(exitCode)), value);
}

void BsignTest::messages_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("message");

    QTest::newRow("0") << 0 << "No error";
    QTest::newRow("1") << 1 << "Permission denied";
    QTest::newRow("2") << 2 << "File not found";
    QTest::newRow("12") << 12 << "No memory";
    QTest::newRow("21") << 21 << "Is directory";
    QTest::newRow("22") << 22 << "Invalid argument";
    QTest::newRow("24") << 24 << "Too many open files";
    QTest::newRow("26") << 26 << "File busy";
    QTest::newRow("28") << 28 << "No space on device";
    QTest::newRow("36") << 36 << "Name too long";
    QTest::newRow("64") << 64 << "No hash found";
    QTest::newRow("65") << 65 << "No signature found";
    QTest::newRow("66") << 66 << "Bad hash found";
    QTest::newRow("67") << 67 << "Bad signature found";
    QTest::newRow("68") << 68 << "Unsupported file type";
    QTest::newRow("69") << 69 << "Bad pass phrase";
    QTest::newRow("70") << 70 << "Rewrite failed";
    QTest::newRow("1001") << 1001 << "Unknown error";
    QTest::newRow("3, not a value") << 3 << "Unknown error";
    QTest::newRow("71") << 71 << "Unknown error";
    QTest::newRow("negative") << -1 << "Unknown error";
}

void BsignTest::messages()
{
    QFETCH(int, value);
    QFETCH(QString, message);

    QCOMPARE(Bsign::returnValueToString(static_cast<Bsign::ReturnValue>(value)), message);
}

void BsignTest::returnValueIsAMetaType()
{
    const int type = QMetaType::type("Bsign::ReturnValue");
    QVERIFY(type != QMetaType::UnknownType);
    QCOMPARE(type, qMetaTypeId<Bsign::ReturnValue>());
    const QVariant value = QVariant::fromValue(Bsign::BadHashFound);
    QCOMPARE(value.value<Bsign::ReturnValue>(), Bsign::BadHashFound);
}

QTEST_GUILESS_MAIN(BsignTest)
#include "bsigntest.moc"

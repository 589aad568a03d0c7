#include "signatureverdict.h"
#include "scanresultmodel.h"

#include <QTest>

using State = SignatureVerdict::State;

class SignatureVerdictTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void judge_data()
    {
        QTest::addColumn<int>("elf");
        QTest::addColumn<int>("xattr");
        // Verdicts under ONLY_ELF, ONLY_XATTR, FALLBACK, ANY, ALL: r runs, x refused, ? undecided.
        QTest::addColumn<QString>("verdicts");
        const State U = SignatureVerdict::Unknown, M = SignatureVerdict::Missing, B = SignatureVerdict::Bad, G = SignatureVerdict::Good;
        QTest::newRow("both good") << int(G) << int(G) << "rrrrr";
        QTest::newRow("ELF good, xattr none") << int(G) << int(M) << "rxrrx";
        QTest::newRow("ELF good, xattr bad") << int(G) << int(B) << "rxrrx";
        QTest::newRow("ELF none, xattr good") << int(M) << int(G) << "xrrrx";
        QTest::newRow("ELF bad, xattr good: the first found decides") << int(B) << int(G) << "xrxrx";
        QTest::newRow("none at all") << int(M) << int(M) << "xxxxx";
        QTest::newRow("both bad") << int(B) << int(B) << "xxxxx";
        QTest::newRow("nothing known") << int(U) << int(U) << "?????";
        QTest::newRow("ELF unknown, xattr good") << int(U) << int(G) << "?r?r?";
        QTest::newRow("ELF unknown, xattr none") << int(U) << int(M) << "?x??x";
        QTest::newRow("ELF none, xattr unknown") << int(M) << int(U) << "x???x";
        QTest::newRow("ELF good, xattr unknown") << int(G) << int(U) << "r?rr?";
    }

    void judge()
    {
        QFETCH(int, elf);
        QFETCH(int, xattr);
        QFETCH(QString, verdicts);
        QString judged;
        for (int mode = 0; mode <= 4; ++mode) {
            judged += QStringLiteral("rx?").at(SignatureVerdict::judge(State(elf), State(xattr), VerificationModeId(mode)));
        }
        QCOMPARE(judged, verdicts);
        // Every verdict but "runs", "cannot tell" included, counts as a problem of the report.
        ScanResultModel results;
        for (int mode = 0; mode <= 4; ++mode) {
            results.setResult(results.addFile(QString::number(mode), true), State(elf), State(xattr), QString(), VerificationModeId(mode));
        }
        QCOMPARE(results.problemCount(), 5 - verdicts.count(QLatin1Char('r')));
        QCOMPARE(SignatureVerdict::judge(State(elf), State(xattr), VerificationModeId::Invalid), SignatureVerdict::Undecided);
    }
};

QTEST_GUILESS_MAIN(SignatureVerdictTest)

#include "signatureverdicttest.moc"

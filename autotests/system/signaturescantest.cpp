// The signature scan against the real chain: checks by "pkexec bsign -w", directories and
// files the user may not read asked of the helper, signing of the reported files by the
// helper. Run by signaturescan-systemtest.sh as a user who is not root.

#include "scanresultmodel.h"
#include "signaturescan.h"
#include "signaturescandialog.h"
#include "signingdialog.h"

#include <QDialogButtonBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <unistd.h>

namespace {
constexpr int ScanDeadline = 60000;
// The files of the tree in the order of the verdict rows; notes.sh is not ELF and only
// named by the boot list, readme.txt is neither and must not be seen.
const QStringList Files {QStringLiteral("both-good"),
    QStringLiteral("elf-good"),
    QStringLiteral("xattr-good"),
    QStringLiteral("unsigned"),
    QStringLiteral("tampered"),
    QStringLiteral("wrong-key"),
    QStringLiteral("private/program"),
    QStringLiteral("notes.sh")};

QString tree()
{
    return QString::fromLocal8Bit(qgetenv("DIGSIG_TEST_TREE"));
}

DigSigSettingsData settings(VerificationModeId mode)
{
    DigSigSettingsData data;
    data.setElfMode(ControllMode::On);
    data.setXattrMode(ControllMode::On);
    data.setVerifyMode(mode);
    data.setXattrControlContent(QStringLiteral("/%1/notes.sh\n").arg(tree()));
    return data;
}

bool scanToTheEnd(SignatureScan *scan)
{
    QSignalSpy finished(scan, &SignatureScan::finished);
    return finished.wait(ScanDeadline) && !finished.first().first().toBool();
}

// Presses OK once every file is signed and the helper's job has ended (its last line says
// that the paths were recorded); -2 when that does not happen in time.
int execUntilDone(SigningDialog &dialog)
{
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &dialog, [&dialog]() {
        QPushButton *ok = dialog.findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"))->button(QDialogButtonBox::Ok);
        const QString log = dialog.findChild<QPlainTextEdit *>(QStringLiteral("logPlainTextEdit"))->toPlainText();
        if (ok->isEnabled() && log.contains(QLatin1String("[OK] Writing selected"))) {
            ok->click();
        }
    });
    poll.start(50);
    QTimer::singleShot(ScanDeadline, &dialog, [&dialog]() { dialog.done(-2); });
    return dialog.exec();
}

// "ELF/xattr/verdict" of each file, in the order of Files; "-" for a file not seen.
QStringList outcome(const ScanResultModel *results)
{
    QStringList shown;
    for (const QString &file : Files) {
        shown.append(QStringLiteral("-"));
        for (int row = 0; row < results->entryCount(); ++row) {
            const ScanEntry &entry = results->entry(row);
            if (entry.path == tree() + QLatin1Char('/') + file) {
                shown.last() = QStringLiteral("%1/%2/%3").arg(entry.elf).arg(entry.xattr).arg(entry.verdict);
            }
        }
    }
    return shown;
}
}

class SignatureScanTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(getuid() != 0, "the caller must not be root");
        QVERIFY(!tree().isEmpty());
    }

    void verdictsUnderEachMode_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("verdicts");
        // One letter per file of Files: r runs, x refused.
        QTest::newRow("only ELF") << int(VerificationModeId::OnlyElf) << QStringLiteral("rrxxxxrx");
        QTest::newRow("only xattr") << int(VerificationModeId::OnlyXattr) << QStringLiteral("rxrxxrrx");
        QTest::newRow("first found") << int(VerificationModeId::Fallback) << QStringLiteral("rrrxxxrx");
        QTest::newRow("any") << int(VerificationModeId::Any) << QStringLiteral("rrrxxrrx");
        QTest::newRow("all") << int(VerificationModeId::All) << QStringLiteral("rxxxxxrx");
    }

    void verdictsUnderEachMode()
    {
        QFETCH(int, mode);
        QFETCH(QString, verdicts);
        SignatureVerdict::State G = SignatureVerdict::Good, M = SignatureVerdict::Missing, B = SignatureVerdict::Bad;
        const QVector<QPair<SignatureVerdict::State, SignatureVerdict::State>> states {{G, G}, {G, M}, {M, G}, {M, M}, {B, B}, {B, G}, {G, G}, {M, M}};
        QStringList expected;
        for (int file = 0; file < Files.size(); ++file) {
            const auto verdict = verdicts.at(file) == QLatin1Char('r') ? SignatureVerdict::Runs : SignatureVerdict::Refused;
            expected.append(QStringLiteral("%1/%2/%3").arg(states.at(file).first).arg(states.at(file).second).arg(verdict));
        }

        SignatureScanDialog dialog(settings(VerificationModeId(mode)));
        dialog.scan()->setProgramDirectories({tree()});
        dialog.scan()->setXattrTemplates(settings(VerificationModeId::All).xattrControlContent());
        dialog.scan()->start();
        QVERIFY(scanToTheEnd(dialog.scan()));
        QCOMPARE(outcome(dialog.scan()->results()), expected);
        QCOMPARE(dialog.scan()->seen(), Files.size());
    }

    // Signing what the strictest mode refuses, as the report hands it over, leaves nothing.
    void signSelectedLeavesNoProblem()
    {
        SignatureScanDialog dialog(settings(VerificationModeId::All));
        dialog.scan()->setProgramDirectories({tree()});
        dialog.scan()->setXattrTemplates(settings(VerificationModeId::All).xattrControlContent());
        QVector<QPair<QStringList, Bsign::SignMode>> runs;
        connect(&dialog, &SignatureScanDialog::signRequested, this, [&runs](const QStringList &files, Bsign::SignMode mode) { runs.append({files, mode}); });
        dialog.scan()->start();
        QVERIFY(scanToTheEnd(dialog.scan()));
        QCOMPARE(dialog.scan()->problems(), 6);
        dialog.findChild<QPushButton *>(QStringLiteral("signButton"))->click();
        QCOMPARE(runs.size(), 2);
        QCOMPARE(runs.at(0).first.size(), 5);
        QCOMPARE(runs.at(0).second, Bsign::ElfAndXattr);
        QCOMPARE(runs.at(1), qMakePair(QStringList {tree() + QStringLiteral("/notes.sh")}, Bsign::XattrOnly));

        for (const auto &[files, mode] : qAsConst(runs)) {
            SelectedPaths selected;
            for (const QString &file : files) {
                selected.emplace(file, false);
            }
            SigningDialog signing(QString::fromLocal8Bit(qgetenv("DIGSIG_TEST_KEY")), selected, mode, false);
            QCOMPARE(execUntilDone(signing), int(QDialog::Accepted));
        }

        SignatureScan again;
        again.setProgramDirectories({tree()});
        again.setXattrTemplates(settings(VerificationModeId::All).xattrControlContent());
        again.setVerificationMode(VerificationModeId::All);
        again.start();
        QVERIFY(scanToTheEnd(&again));
        QCOMPARE(again.seen(), Files.size());
        QCOMPARE(again.problems(), 0);
    }
};

QTEST_MAIN(SignatureScanTest)

#include "signaturescantest.moc"

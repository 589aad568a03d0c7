// The module, its privileged-call layer and the signature scan against the real chain:
// private system bus, polkitd, helpers started by D-Bus activation, keywright and bsign under
// the real pkexec, a caller who is not root. Run by realchain-systemtest.sh inside the
// sandbox, which prepares the files, picks the test functions of each run and checks
// afterwards what only root can read.

#include "bsign.h"
#include "helpercall.h"
#include "helperjob.h"
#include "keymanager.h"
#include "keyswidget.h"
#include "modalanswerer.h"
#include "scanresultmodel.h"
#include "selectkeydialog.h"
#include "signaturescan.h"
#include "signaturescandialog.h"
#include "signfilemodel.h"
#include "signingdialog.h"

#include <KAuth/ActionReply>

#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <unistd.h>

namespace {
const QString Settings = QStringLiteral("/etc/digsig/digsig_initramfs.conf");
const QString Templates = QStringLiteral("/etc/digsig/xattr_control");

// A file the script prepared in its scratch directory.
QString fixture(const char *name)
{
    return qEnvironmentVariable("DIGSIG_TEST_DIR") + QLatin1Char('/') + QLatin1String(name);
}

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

HelperJob *
call(const char *name, const QVariantMap &arguments = {}, const QString &space = HelperCall::DigsigNamespace, int timeout = HelperCall::DefaultTimeout)
{
    KAuth::Action action = HelperCall::action(QLatin1String(name), space, timeout);
    action.setArguments(arguments);
    return HelperCall::execute(action);
}

// Starts the job and waits for its end, failing instead of hanging.
bool finishes(HelperJob *job, int milliseconds = 60000)
{
    QSignalSpy finished(job, &KJob::finished);
    job->start();
    return finished.wait(milliseconds) || finished.count() > 0;
}

// ELF-only runs record no paths.
HelperJob *signing(const QStringList &files, const QString &key, int mode, const QString &dir)
{
    QVariantMap arguments {{QStringLiteral("signing_process"), QString()}, {QStringLiteral("files"), files}, {QStringLiteral("key_id"), key},
        {QStringLiteral("mode"), mode}, {QStringLiteral("DISPLAY"), QString()}, {QStringLiteral("XAUTHORITY"), QString()}};
    if (mode != 0) {
        arguments.insert(QStringLiteral("paths"), QStringList {dir});
    }
    return call("%1.setupsigning", arguments, HelperCall::DigsigNamespace, 2147483647);
}

HelperJob *apply(int elfMode, int verificationMode)
{
    const QVariantHash values {{QStringLiteral("DIGSIG_ELF_MODE"), elfMode}, {QStringLiteral("DIGSIG_XATTR_MODE"), 2},
        {QStringLiteral("DIGSIG_IGNORE_XATTR_KEYS"), 1}, {QStringLiteral("DIGSIG_IGNORE_GOST2001"), 0},
        {QStringLiteral("DIGSIG_XATTR_CONTROL"), QStringLiteral("/usr/bin/\n//usr/sbin/sshd\n")},
        {QStringLiteral("DIGSIG_ELF_VERIFICATION_MODE"), verificationMode}};
    return call("%1.change", {{QStringLiteral("change_digsig"), values}}, HelperCall::DigsigNamespace, 480000);
}

QStringList logLines(const SigningDialog &dialog)
{
    return dialog.findChild<QPlainTextEdit *>(QStringLiteral("logPlainTextEdit"))->toPlainText().split(QLatin1Char('\n'));
}

// OK is enabled once every file is signed, before the key export and the paths are
// recorded: it is pressed once the run's last line is there too.
int execUntil(SigningDialog &dialog, const QString &lastLine)
{
    QPushButton *ok = dialog.findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok);
    ModalAnswerer answerer;
    answerer.answerWhen([&](QWidget *) { return ok->isEnabled() && logLines(dialog).constLast().startsWith(lastLine); }, [ok](QWidget *) { ok->click(); });
    return dialog.exec();
}

// The status columns of each file, "<ELF column>|<xattr column>", once all are checked: the
// tooltip, or "signed" for a signature by the key. The first look starts the checks.
QString statusOf(SignFileModel &model, const QStringList &paths, const QString &fingerprint)
{
    const auto shown = [&fingerprint](const QVariant &tip) {
        if (tip.type() != QVariant::String || tip.toString().startsWith(QLatin1String("Signature information is missing"))) {
            return QString(); // still checking
        }
        return tip.toString().startsWith(QStringLiteral("Key ID: ") + fingerprint.right(16) + QLatin1Char('\n')) ? QStringLiteral("signed") : tip.toString();
    };
    QStringList cells;
    QElapsedTimer clock;
    for (clock.start(); clock.elapsed() < 30000 && (cells.isEmpty() || cells.contains(QString())); QTest::qWait(20)) {
        cells.clear();
        for (const QString &path : paths) {
            const QModelIndex index = model.index(path);
            cells << shown(model.data(model.elfIndex(index), Qt::ToolTipRole)) << shown(model.data(model.xattrIndex(index), Qt::ToolTipRole));
        }
    }
    return cells.join(QLatin1Char('|'));
}

// The tree of programs root signed for the scan; notes.sh is not ELF and only named by the
// boot list (a template of one file), readme.txt is neither and must not be seen.
const QString ScanTemplates = QLatin1Char('/') + fixture("programs/notes.sh") + QLatin1Char('\n');

DigSigSettingsData scanSettings(VerificationModeId mode)
{
    DigSigSettingsData data;
    data.setElfMode(ControllMode::On);
    data.setXattrMode(ControllMode::On);
    data.setVerifyMode(mode);
    data.setXattrControlContent(ScanTemplates);
    return data;
}

bool scanned(SignatureScanDialog &dialog)
{
    dialog.scan()->setProgramDirectories({fixture("programs")});
    dialog.scan()->setXattrTemplates(ScanTemplates);
    QSignalSpy finished(dialog.scan(), &SignatureScan::finished);
    dialog.scan()->start();
    return finished.wait(15000) && !finished.first().first().toBool();
}

// "<ELF><xattr><verdict>" of each file, by the letters of the states (?MBG) and the verdicts
// (rx?), in a fixed order; "-" for a file not seen.
QString outcome(const SignatureScan *scan)
{
    QStringList shown;
    for (const char *file : {"both-good", "elf-good", "xattr-good", "unsigned", "tampered", "wrong-key", "private/program", "notes.sh"}) {
        shown.append(QStringLiteral("-"));
        for (int row = 0; row < scan->results()->entryCount(); ++row) {
            const ScanEntry &entry = scan->results()->entry(row);
            if (entry.path == fixture("programs/") + QLatin1String(file)) {
                shown.last() = QString(QLatin1Char("?MBG"[entry.elf])) + QLatin1Char("?MBG"[entry.xattr]) + QLatin1Char("rx?"[entry.verdict]);
            }
        }
    }
    return shown.join(QLatin1Char(' '));
}
}

class RealChainTest : public QObject
{
    Q_OBJECT
    QString m_key = qEnvironmentVariable("DIGSIG_TEST_KEY"); // set for the runs after the first

private Q_SLOTS:
    void initTestCase() { QVERIFY2(getuid() != 0, "the caller must not be root: polkit authorises root without rules"); }

    void keywrightKeyIsExportedAndOffered()
    {
        KeysWidget widget;
        ModalAnswerer answerer;
        answerer.answer([](QWidget *window) {
            QTest::keyClicks(window->findChild<QLineEdit *>(QStringLiteral("nameLineEdit")), QStringLiteral("Real Chain Signer"));
            QTest::keyClicks(window->findChild<QLineEdit *>(QStringLiteral("emailLineEdit")), QStringLiteral("signer@example.org"));
            // Queued, so that the box after the generation is answered as well.
            QMetaObject::invokeMethod(window->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok), "click", Qt::QueuedConnection);
        });
        answerer.press(QDialogButtonBox::Ok);
        // After a failure the creation dialog comes back: close it, the texts tell why.
        answerer.press(QDialogButtonBox::Cancel);
        widget.findChild<QPushButton *>(QStringLiteral("createKeyButton"))->click();

        const QStringList texts = answerer.seenTexts();
        const QRegularExpressionMatch made
            = QRegularExpression(QStringLiteral("^Key generated successfully.\nFingerprint: ([0-9A-F]{40})$")).match(texts.value(0));
        QVERIFY2(texts.size() == 1 && made.hasMatch(), qPrintable(texts.join(QLatin1Char('|'))));
        m_key = made.captured(1);
        QVERIFY(QFileInfo(QStringLiteral("/etc/digsig/xattr_keys/%1.gpg").arg(m_key)).size() > 0);

        // The helper lists the new key for the key selection.
        KeyManager manager;
        SelectKeyDialog dialog(&manager, Bsign::ElfAndXattr);
        auto combo = dialog.findChild<QComboBox *>(QStringLiteral("keysComboBox"));
        QCOMPARE(combo->count(), 1);
        QCOMPARE(combo->itemText(0), QStringLiteral("Real Chain Signer <signer@example.org> [%1]").arg(m_key.right(10)));
    }

    void signingTurnsStatusToSigned_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("notesLine");
        QTest::addColumn<QString>("endLines");
        QTest::addColumn<QString>("status"); // of the program, then of the text file
        // ELF-only runs neither export the key nor record the paths; a file that cannot be
        // signed leaves the run incomplete, so "Signing completed." never comes.
        const QString done = QStringLiteral("[OK] Signing completed.\nFinished.");
        const QString recorded = QStringLiteral("[OK] Key with ID %1 successfully exported to /etc/digsig/xattr_keys/%1.gpg\n[OK] Writing selected directories "
                                                "and files to /etc/digsig/xattr_control");
        QTest::newRow("ELF only") << 0 << QString() << done << QStringLiteral("signed|No signature|No signature|No signature");
        QTest::newRow("xattr only") << 1 << QStringLiteral("[OK] File \"%1\" signed successfully.") << done + QLatin1Char('\n') + recorded
                                    << QStringLiteral("No signature|signed|No signature|signed");
        QTest::newRow("both") << 2 << QStringLiteral("[Error] %1 signing error: ") + Bsign::returnValueToString(Bsign::UnsupportedFileType) << recorded
                              << QStringLiteral("signed|signed|No signature|No signature");
    }

    void signingTurnsStatusToSigned()
    {
        QFETCH(int, mode);
        QFETCH(QString, notesLine);
        QFETCH(QString, endLines);
        QFETCH(QString, status);
        const QString tree = fixture("trees/mode-") + QString::number(mode);
        const QString program = tree + QStringLiteral("/program");
        const QString notes = tree + QStringLiteral("/notes.txt");
        SignFileModel model;
        model.setRootPath(QDir::rootPath());
        QCOMPARE(statusOf(model, {program, notes}, m_key), QStringLiteral("No signature|No signature|No signature|No signature"));

        // The tree is ticked and signed with the new key; the columns rest meanwhile.
        model.setIsSigningRunning(true);
        const QStringList tail = QString(endLines).replace(QLatin1String("%1"), m_key).split(QLatin1Char('\n'));
        SigningDialog dialog(m_key, SelectedPaths {{tree, true}}, static_cast<Bsign::SignMode>(mode), false);
        QCOMPARE(execUntil(dialog, tail.constLast()), int(QDialog::Accepted));
        model.setIsSigningRunning(false);
        QStringList log = logLines(dialog);
        QStringList expected {QStringLiteral("Create a list of files to sign..."), QStringLiteral("[OK] File \"%1\" signed successfully.").arg(program)};
        if (!notesLine.isEmpty()) {
            expected.append(notesLine.arg(notes));
        }
        // Files are signed in the order the directory lists them.
        QVERIFY2(log.size() == expected.size() + tail.size(), qPrintable(log.join(QLatin1Char('\n'))));
        std::sort(log.begin() + 1, log.end() - tail.size());
        std::sort(expected.begin() + 1, expected.end());
        QCOMPARE(log, expected + tail);
        QCOMPARE(readText(Templates).split(QLatin1Char('\n')).contains(tree + QLatin1Char('/')), mode != Bsign::ElfOnly);

        // The refresh forgets what was known; the columns ask again and show the signatures.
        model.updateIndexesLevel({model.index(tree)});
        QCOMPARE(statusOf(model, {program, notes}, m_key), status);
    }

    // Bad values and paths are refused with nothing written; files only root can read are read;
    // the log is written.
    void helperChecksItsInputs()
    {
        HelperJob *good = apply(2, -1);
        QVERIFY2(good->exec(), qPrintable(good->errorString()));
        const QString written = readText(Settings);
        // -1 keeps the value the file had (the script wrote 3), and its comment is kept.
        for (const char *line :
            {"DIGSIG_ELF_MODE=2", "DIGSIG_XATTR_MODE=2", "DIGSIG_IGNORE_XATTR_KEYS=1", "DIGSIG_ELF_VERIFICATION_MODE=3", "# kept comment"}) {
            QVERIFY2(written.split(QLatin1Char('\n')).contains(QLatin1String(line)), qPrintable(written));
        }
        QCOMPARE(readText(Templates), QStringLiteral("/usr/bin/\n//usr/sbin/sshd\n"));
        QVERIFY(QFile::permissions(Templates) & QFileDevice::ReadOther);
        HelperJob *refused = apply(7, 0);
        QVERIFY(!refused->exec());
        QVERIFY2(refused->errorString().contains(QStringLiteral("DIGSIG_ELF_MODE")), qPrintable(refused->errorString()));
        QCOMPARE(readText(Settings), written);

        QVERIFY(
            !call("%1.exportkey", {{QStringLiteral("key"), m_key}, {QStringLiteral("path"), QStringLiteral("/etc/digsig/xattr_keys/../owned.gpg")}})->exec());
        QVERIFY(!QFile::exists(QStringLiteral("/etc/digsig/owned.gpg")));
        const QString dir = fixture("private");
        QVERIFY(!call("%1.setupsigning", {{QStringLiteral("check_elf"), fixture("private/notes.txt")}})->exec()); // no ELF file
        QVERIFY(!QFileInfo(fixture("private/program")).isReadable());
        QVERIFY(call("%1.setupsigning", {{QStringLiteral("check_elf"), fixture("private/program")}})->exec());
        HelperJob *listing = call("%1.setupsigning", {{QStringLiteral("get_dir_iter"), dir}});
        QVERIFY2(listing->exec(), qPrintable(listing->errorString()));
        const QVariantMap expected {{dir + QStringLiteral("/program"), true}, {dir + QStringLiteral("/notes.txt"), true},
            {dir + QStringLiteral("/link"), false}, {dir + QStringLiteral("/sub/deep"), true}};
        QCOMPARE(listing->data(), expected);
        // The script checks the log: a header with the caller's uid, the line break kept inside its line.
        const QStringList log {QStringLiteral("File \"/a\" signed."), QStringLiteral("forged\n=== header ===")};
        QVERIFY(call("%1.logging", {{QStringLiteral("log"), log}})->exec());
    }

    void cancelStopsLongRun()
    {
        QStringList files;
        for (const QFileInfo &file : QDir(fixture("long-tree")).entryInfoList(QDir::Files)) {
            files.append(file.filePath());
        }
        HelperJob *job = signing(files, m_key, 0, QString());
        int records = 0;
        connect(job, &HelperJob::newData, this, [&records, job]() {
            if (++records == 3) {
                job->kill(KJob::EmitResult);
            }
        });
        QVERIFY(finishes(job));
        QCOMPARE(job->error(), int(KJob::KilledJobError));
        // The helper stops at its next look at the stop flag; the next call waits for that
        // answer instead of reaching a busy helper.
        QVERIFY2(records < files.size() / 2, qPrintable(QString::number(records)));
        HelperJob *next = call("%1.keyslist");
        QVERIFY(finishes(next));
        QCOMPARE(next->error(), 0);
    }

    void keyListDuringUpdateDoesNotHang()
    {
        HelperJob *update = call("%1.change", {{QStringLiteral("update_only"), QVariant()}}, HelperCall::DigsigNamespace, 480000);
        update->setAutoDelete(false);
        QStringList warnings;
        connect(
            update, &HelperJob::newData, this, [&warnings](const QVariantMap &record) { warnings.append(record.value(QStringLiteral("warning")).toString()); });
        QSignalSpy updateFinished(update, &KJob::finished);
        update->start();
        QTRY_VERIFY_WITH_TIMEOUT(!warnings.isEmpty(), 30000);

        // A call waits in line no longer than its timeout, then fails as busy.
        HelperJob *hurried = call("%1.keyslist", {}, HelperCall::DigsigNamespace, 300);
        QVERIFY(finishes(hurried, 10000));
        QCOMPARE(hurried->error(), int(KAuth::ActionReply::HelperBusyError));
        QVERIFY(updateFinished.isEmpty()); // the update was still running
        // The key list waits for the update to end; a helper reached while busy would never answer.
        QVERIFY(finishes(call("%1.keyslist")));
        QVERIFY(updateFinished.count() > 0 || updateFinished.wait(30000));
        QCOMPARE(update->error(), 0);
        delete update;
        QVERIFY2(warnings.contains(QStringLiteral("template /no/such/dir/ matches no file")), qPrintable(warnings.join(QLatin1Char('|'))));
    }

    // Back to back, with no pause between a helper's answer and the next call: none is lost.
    void thousandMixedCallsAllEnd()
    {
        int ended = 0;
        int failed = 0;
        for (int i = 0; i < 1000; ++i) {
            HelperJob *job = i % 3 == 0 ? call("%1.keyslist")
                : i % 3 == 1            ? call("%1.access", {}, HelperCall::SecuritySettingsNamespace)
                                        : call("%1.setupsigning", {{QStringLiteral("check_elf"), fixture("private/program")}});
            connect(job, &KJob::result, this, [&](KJob *job) {
                ++ended;
                failed += job->error() ? 1 : 0;
            });
            i % 2 ? job->start() : void(job->exec());
        }
        QTRY_COMPARE_WITH_TIMEOUT(ended, 1000, 120000);
        QCOMPARE(failed, 0);
    }

    void deniedCallerGetsAuthorizationError()
    {
        HelperJob *access = call("%1.access", {}, HelperCall::SecuritySettingsNamespace);
        QVERIFY(!access->exec());
        QCOMPARE(access->error(), int(KAuth::ActionReply::AuthorizationDeniedError));
        const QString before = readText(Settings);
        HelperJob *change = apply(0, 0);
        QVERIFY(!change->exec());
        QCOMPARE(change->error(), int(KAuth::ActionReply::AuthorizationDeniedError));
        QCOMPARE(readText(Settings), before);
    }

    // Run alone while the script swaps a file and its directory for links to root's files;
    // the script then checks that root's files gained no signature and no byte of change.
    void signingRaceReachesNoLinkTarget()
    {
        QStringList files; // not listed: the directory is being swapped
        for (int i = 1; i <= 200; ++i) {
            files.append(fixture("race/dir/f-%1").arg(i, 3, 10, QLatin1Char('0')));
        }
        HelperJob *job = signing(files, m_key, 2, fixture("race/dir"));
        int records = 0;
        connect(job, &HelperJob::newData, this, [&records]() { ++records; });
        QVERIFY(finishes(job, 240000));
        QVERIFY2(job->error() == 0, qPrintable(job->errorString()));
        QCOMPARE(records, files.size() + 1);
    }

    void scanVerdictsUnderEachMode_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("only ELF") << int(VerificationModeId::OnlyElf) << QStringLiteral("GGr GMr MGx MMx BBx BGx GGr MMx");
        QTest::newRow("only xattr") << int(VerificationModeId::OnlyXattr) << QStringLiteral("GGr GMx MGr MMx BBx BGr GGr MMx");
        QTest::newRow("first found") << int(VerificationModeId::Fallback) << QStringLiteral("GGr GMr MGr MMx BBx BGx GGr MMx");
        QTest::newRow("any") << int(VerificationModeId::Any) << QStringLiteral("GGr GMr MGr MMx BBx BGr GGr MMx");
        QTest::newRow("all") << int(VerificationModeId::All) << QStringLiteral("GGr GMx MGx MMx BBx BGx GGr MMx");
    }

    // Checks by "pkexec bsign -w"; the private directory is listed and checked by the helper.
    void scanVerdictsUnderEachMode()
    {
        QFETCH(int, mode);
        SignatureScanDialog dialog(scanSettings(VerificationModeId(mode)));
        QVERIFY(scanned(dialog));
        QTEST(outcome(dialog.scan()), "outcome");
        QCOMPARE(dialog.scan()->seen(), 8);
    }

    // digsig-check runs as root, out of the user's reach: closing its input ends it and its
    // bsign runs.
    void scanCancelEndsTheCheck()
    {
        SignatureScan scan;
        scan.setProgramDirectories({QStringLiteral("/usr/lib")}); // thousands of libraries: minutes of checks
        scan.setXattrTemplates(QString());
        scan.start();
        QTRY_VERIFY_WITH_TIMEOUT(scan.seen() > 0, 15000);
        const auto running = [] {
            QStringList programs;
            for (const QString &process : QDir(QStringLiteral("/proc")).entryList({QStringLiteral("[0-9]*")}, QDir::Dirs)) {
                programs.append(readText(QStringLiteral("/proc/%1/comm").arg(process)).trimmed());
            }
            return programs.filter(QRegularExpression(QStringLiteral("^(digsig-check|bsign|pkexec)$")));
        };
        QVERIFY(!running().isEmpty());
        scan.cancel();
        QVERIFY(!scan.isRunning());
        QTRY_VERIFY_WITH_TIMEOUT(running().isEmpty(), 5000);
    }

    // Signing what the strictest mode refuses, as the report hands it over, leaves nothing.
    void scanSignSelectedLeavesNoProblem()
    {
        SignatureScanDialog dialog(scanSettings(VerificationModeId::All));
        QVector<QPair<QStringList, Bsign::SignMode>> runs;
        connect(&dialog, &SignatureScanDialog::signRequested, this, [&runs](const QStringList &files, Bsign::SignMode mode) { runs.append({files, mode}); });
        QVERIFY(scanned(dialog));
        QCOMPARE(dialog.scan()->problems(), 6);
        dialog.findChild<QPushButton *>(QStringLiteral("signButton"))->click();
        QCOMPARE(runs.size(), 2);
        QCOMPARE(runs.at(0).first.size(), 5); // its mode shows in the second scan
        QCOMPARE(runs.at(1), qMakePair(QStringList {fixture("programs/notes.sh")}, Bsign::XattrOnly));
        for (const auto &[files, mode] : qAsConst(runs)) {
            SelectedPaths selected;
            for (const QString &file : files) {
                selected.emplace(file, false);
            }
            SigningDialog signing(m_key, selected, mode, false);
            QCOMPARE(execUntil(signing, QStringLiteral("[OK] Writing selected")), int(QDialog::Accepted));
        }
        SignatureScanDialog again(scanSettings(VerificationModeId::All));
        QVERIFY(scanned(again));
        QCOMPARE(again.scan()->seen(), 8);
        QCOMPARE(again.scan()->problems(), 0);
    }
};

QTEST_MAIN(RealChainTest)

#include "realchaintest.moc"

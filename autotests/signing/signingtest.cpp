#include "digsigcontrolpanel.h"
#include "digsigsettingsdata.h"
#include "filteredtreeproxymodel.h"
#include "helperactivity.h"
#include "helpercall.h"
#include "keymanager.h"
#include "keyswidget.h"
#include "kgpglauncher.h"
#include "selectkeydialog.h"
#include "signfilemodel.h"
#include "signingdialog.h"
#include "signingwidget.h"

#include "dialogdeadline.h"
#include "fakehelperbackend.h"
#include "helperscripts.h"
#include "modalanswerer.h"
#include "scratchfiles.h"
#include "standinprogram.h"
#include "tempconfig.h"

#include <QCheckBox>
#include <QComboBox>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTreeView>

#include <sys/stat.h>

#include <memory>

namespace {
const QString Access = QStringLiteral("ru.orlis.kcm.securitysettings.access");
const QString KeysList = QStringLiteral("ru.orlis.kcm.digsig.keyslist");
const QString SetupSigning = QStringLiteral("ru.orlis.kcm.digsig.setupsigning");
const QString Logging = QStringLiteral("ru.orlis.kcm.digsig.logging");
const QString Change = QStringLiteral("ru.orlis.kcm.digsig.change");
const QString KeyId = QStringLiteral("0123456789ABCDEF0123456789ABCDEF01234567");
const QString LastKey = QStringLiteral("2222222222222222222222222222222222222222");
const QString Created = QStringLiteral("Create a list of files to sign...");

enum Outcome { Signed, FileFailed, Cancelled };

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

QPushButton *dialogButton(const QWidget *dialog, QDialogButtonBox::StandardButton which)
{
    return dialog->findChild<QDialogButtonBox *>()->button(which);
}

QStringList viewLines(const QWidget *dialog)
{
    return dialog->findChild<QPlainTextEdit *>()->toPlainText().split(QLatin1Char('\n'));
}

int progress(const QWidget *dialog)
{
    return dialog->findChild<QProgressBar *>()->value();
}

QVariantMap fileRecord(const QString &path, int value, const QString &key = QStringLiteral("file_finished"))
{
    return {{key, QVariantMap {{path, value}}}};
}

// The signing tab, with the ways a person works it.
class Tab : public SigningWidget
{
public:
    using SigningWidget::SigningWidget;
    FilteredTreeProxyModel *proxy() const { return qobject_cast<FilteredTreeProxyModel *>(findChild<QTreeView *>()->model()); }
    SignFileModel *model() const { return qobject_cast<SignFileModel *>(proxy()->sourceModel()); }
    QPushButton *sign() const { return findChild<QPushButton *>(QStringLiteral("signPushButton")); }
    // The row of the path in the tree; invalid while the tree hides it.
    QModelIndex shown(const QString &path) const { return proxy()->mapFromSource(model()->index(path)); }
    // While signing runs the status columns answer nothing, else at least an empty icon.
    bool inSigningMode(const QString &file) const { return !model()->data(model()->elfIndex(model()->index(file)), Qt::DecorationRole).isValid(); }
    void chooseMode(int mode) const
    {
        findChild<QCheckBox *>(QStringLiteral("elfCheckBox"))->setChecked(mode != Bsign::XattrOnly);
        findChild<QCheckBox *>(QStringLiteral("xattrCheckBox"))->setChecked(mode != Bsign::ElfOnly);
    }
    // Ticks an entry like the view; the listed "sibling" leaves the parent of the tree partly ticked.
    bool tick(const QString &path, Qt::CheckState state = Qt::Checked) const
    {
        model()->index(QFileInfo(path).dir().filePath(QStringLiteral("sibling")));
        return shown(path).isValid() && proxy()->setData(shown(path), state, Qt::CheckStateRole);
    }
};
}

class SigningTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("PATH", QFile::encodeName(m_pkexec.directory()) + ':' + qgetenv("PATH"));
        DigSigSettingsData::setConfigurationDirectory(m_config.path());
    }

    void init()
    {
        m_config.writeSettings(TempConfig::settings(1, 1, 2));
        m_deadline = std::make_unique<DialogDeadline>(8000);
        m_backend = std::make_unique<FakeHelperBackend>();
        m_backend->script(KeysList, replying({{QStringLiteral("A first"), QStringLiteral("1111")}, {QStringLiteral("B last"), LastKey}}));
        m_dir = std::make_unique<QTemporaryDir>();
        KeysWidget::setKeyDirectoryForTesting(m_dir->path());
        QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("sibling")));
        // The sample tree: ELF programs, text files, a link, a subdirectory.
        m_tree = m_dir->filePath(QStringLiteral("tree"));
        Scratch::putFiles(m_tree, {QStringLiteral("prog"), QStringLiteral("lib.so"), QStringLiteral("sub/deeper/tool")}, true, 0755);
        Scratch::putFiles(m_tree, {QStringLiteral("notes.txt"), QStringLiteral(".hidden"), QStringLiteral("sub/readme")}, false);
        QVERIFY(QFile::link(m_tree + QStringLiteral("/notes.txt"), m_tree + QStringLiteral("/link-to-notes")));
    }

    void cleanup()
    {
        QVERIFY2(!m_deadline->expired(), "a window was still open after the deadline");
        m_backend.reset();
        KgpgLauncher::setKgpgPathForTesting(QString());
        KgpgLauncher::setKgpgLauncherForTesting(QString());
        KeysWidget::setKeyDirectoryForTesting(QString());
    }

    void queue_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("listingError"); // -1: the listing comes back empty
        QTest::addColumn<QStringList>("expectedQueue");
        QTest::addColumn<QStringList>("expectedCalls");
        QTest::addColumn<QString>("printed");

        // Ticked are "open/", readable, with ELF, text and hidden files, a link, "locked/" and
        // "private-elf" that cannot be read; "closed/", which cannot be read; the files "notes" and
        // "link", which can, and "secret-elf" and "secret-text", which cannot. The helper lists
        // "closed" as "a-elf" (flag true) and "b-text", and finds ELF files by their names.
        const QStringList readable {QStringLiteral("open/prog"), QStringLiteral("open/sub/tool"), QStringLiteral("open/.notes"),
            QStringLiteral("open/private-elf"), QStringLiteral("notes"), QStringLiteral("secret-elf"), QStringLiteral("secret-text")};
        const QString listing = QStringLiteral("get_dir_iter closed");
        QTest::newRow("elf only") << 0 << 0
                                  << QStringList {QStringLiteral("open/prog"), QStringLiteral("open/sub/tool"), QStringLiteral("closed/a-elf"),
                                         QStringLiteral("secret-elf")}
                                  << QStringList {listing, QStringLiteral("check_elf closed/a-elf"), QStringLiteral("check_elf closed/b-text"),
                                         QStringLiteral("check_elf secret-elf"), QStringLiteral("check_elf secret-text")}
                                  << QString();
        QTest::newRow("xattr") << 1 << 0 << readable + QStringList {QStringLiteral("closed/a-elf")} << QStringList {listing} << QString();
        QTest::newRow("listing refused") << 2 << 4 << readable << QStringList {listing} << QStringLiteral("listing refused");
        QTest::newRow("empty listing") << 1 << -1 << readable << QStringList {listing} << QStringLiteral("ERROR GET ROOT PATHS");
    }

    // Root reads everything, so the queue is built in a child process that runs as an
    // unprivileged user: the kernel decides what cannot be read, nothing is faked but the helper.
    void queue()
    {
        QFETCH(int, mode);
        QFETCH(int, listingError);
        QFETCH(QStringList, expectedQueue);
        QFETCH(QStringList, expectedCalls);
        QFETCH(QString, printed);
        const QString root = m_dir->path();
        chmod(QFile::encodeName(root).constData(), 0755);
        Scratch::putFiles(root, {QStringLiteral("open/prog"), QStringLiteral("open/sub/tool"), QStringLiteral("open/locked/hidden-prog")}, true, 0755);
        Scratch::putFiles(root, {QStringLiteral("open/.notes"), QStringLiteral("notes"), QStringLiteral("closed/file")}, false);
        Scratch::putFiles(root, {QStringLiteral("open/private-elf"), QStringLiteral("secret-elf")}, true, 0200);
        Scratch::putFiles(root, {QStringLiteral("secret-text")}, false, 0200);
        QFile::link(root + QStringLiteral("/open/prog"), root + QStringLiteral("/open/link"));
        QFile::link(root + QStringLiteral("/notes"), root + QStringLiteral("/link"));
        chmod(QFile::encodeName(root + QStringLiteral("/open/locked")).constData(), 0300);
        chmod(QFile::encodeName(root + QStringLiteral("/closed")).constData(), 0300);
        m_backend->script(SetupSigning, [=](const QVariantMap &arguments) {
            if (arguments.contains(QStringLiteral("check_elf"))) {
                return failing(QFileInfo(arguments.value(QStringLiteral("check_elf")).toString()).fileName().contains(QLatin1String("elf")) ? 0 : 1, QString());
            }
            HelperScript script = failing(qMax(listingError, 0), QStringLiteral("listing refused"));
            script.reply = listingError < 0 ? QVariantMap()
                                            : QVariantMap {{root + QStringLiteral("/closed/a-elf"), true}, {root + QStringLiteral("/closed/b-text"), false}};
            return script;
        });

        SelectedPaths selected;
        for (const char *entry : {"open", "closed", "notes", "link", "secret-elf", "secret-text"}) {
            const QString path = root + QLatin1Char('/') + QLatin1String(entry);
            selected.emplace(path, QFileInfo(path).isDir());
        }
        SigningDialog dialog(KeyId, selected, Bsign::SignMode(mode), false);
        QStringList lines;
        QByteArray output;
        QVERIFY(Scratch::runAsNobody(
            [&] {
                QStringList result = dialog.parsingFilesFromPaths();
                for (const auto &call : m_backend->calls()) {
                    result.append(QStringLiteral("call ") + call.arguments.firstKey() + QLatin1Char(' ') + call.arguments.first().toString());
                }
                return result;
            },
            &lines, &output));
        lines.replaceInStrings(root + QLatin1Char('/'), QString());
        QStringList calls = lines.filter(QStringLiteral("call "));
        calls.replaceInStrings(QStringLiteral("call "), QString());
        QCOMPARE(sorted(lines.mid(0, lines.size() - calls.size())), sorted(expectedQueue));
        QCOMPARE(sorted(calls), sorted(expectedCalls));
        QVERIFY2(output.contains(printed.toUtf8()), output.constData());
    }

    void runOutcome_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QStringList>("ticked");
        QTest::addColumn<QList<QVariantMap>>("records");
        QTest::addColumn<int>("jobError");
        QTest::addColumn<bool>("logRefused");
        QTest::addColumn<QStringList>("lines"); // an orderly end shows "Finished." and offers OK

        const QStringList three {QStringLiteral("prog"), QStringLiteral("lib.so"), QStringLiteral("sub/deeper/tool")};
        const QString okA = QStringLiteral("File \"a\" signed successfully.");
        const QString missing = QStringLiteral("Warning: file b not found");
        const QString done = QStringLiteral("Signing completed.");
        const QString logging = QStringLiteral("Log file is being created...");
        const QString finished = QStringLiteral("Finished.");
        const QString exported = QStringLiteral("Key with ID %1 successfully exported to k.gpg").arg(KeyId);
        const QString notExported = QStringLiteral("Can not export key with ID %1 to k.gpg").arg(KeyId);
        const auto exportRecord = [](const QString &errorText) {
            return QVariantMap {{QStringLiteral("export_result"),
                QVariantMap {{QStringLiteral("key_id"), KeyId}, {QStringLiteral("path"), QStringLiteral("k.gpg")}, {QStringLiteral("error_text"), errorText}}}};
        };
        const QString ok = QStringLiteral("[OK] ");
        const QString error = QStringLiteral("[Error] ");

        QTest::newRow("warning, exports, malformed records")
            << 2 << three
            << QList<QVariantMap> {QVariantMap(), QVariantMap {{QStringLiteral("something_else"), 5}},
                   QVariantMap {{QStringLiteral("file_finished"), QVariantMap()}}, exportRecord(QString()), exportRecord(QStringLiteral("disk full")),
                   fileRecord(QStringLiteral("a"), 0), fileRecord(QStringLiteral("b"), 2), fileRecord(QStringLiteral("c"), 0)}
            << 0 << false
            << QStringList {Created, ok + exported, error + notExported, error + QStringLiteral("disk full"), ok + okA, QStringLiteral("[Warning] ") + missing,
                   ok + QStringLiteral("File \"c\" signed successfully."), ok + done, logging, finished};
        QTest::newRow("failed file and process error never complete")
            << 0 << three
            << QList<QVariantMap> {fileRecord(QStringLiteral("a"), 0), fileRecord(QStringLiteral("b"), 67),
                   fileRecord(QStringLiteral("c"), 1, QStringLiteral("file_error_occured"))}
            << 0 << false
            << QStringList {Created, ok + okA, error + QStringLiteral("b signing error: Bad signature found"),
                   error + QStringLiteral("Process error occurred when sigsing file c: 1")};
        QTest::newRow("job fails as a whole") << 2 << QStringList {QStringLiteral("prog")} << QList<QVariantMap>() << 4 << false << QStringList {Created};
        // The helper's own words about the refused log stay out of the view.
        QTest::newRow("log writing refused") << 0 << QStringList {QStringLiteral("prog")} << QList<QVariantMap> {fileRecord(QStringLiteral("a"), 0)} << 0
                                             << true
                                             << QStringList {Created, ok + okA, ok + done, logging, QStringLiteral("Failed to write log file"), finished};
        // A cancelled pass phrase stops the run: the next file is not attempted, the log is kept.
        QTest::newRow("pass phrase cancelled") << 0 << QStringList {QStringLiteral("prog")}
                                               << QList<QVariantMap> {fileRecord(QStringLiteral("a"), 69), fileRecord(QStringLiteral("b"), 0)} << 0 << false
                                               << QStringList {Created, error + QStringLiteral("a signing error: Bad pass phrase"),
                                                      ok + QStringLiteral("Signing stopped: the pass phrase was refused or cancelled by the user."),
                                                      ok + QStringLiteral("Summary: 0 of 1 files signed, 1 failed, 0 not attempted."), logging};
        QTest::newRow("nothing to sign") << 0 << QStringList {QStringLiteral("notes.txt")} << QList<QVariantMap>() << 0 << false
                                         << QStringList {Created, error + QStringLiteral("No files to sign.")};
    }

    void runOutcome()
    {
        QFETCH(int, mode);
        QFETCH(QStringList, ticked);
        QFETCH(QList<QVariantMap>, records);
        QFETCH(int, jobError);
        QFETCH(bool, logRefused);
        QFETCH(QStringList, lines);
        // The log holds what the view showed before it was written, without the marks.
        QStringList log = lines.mid(1, qMax(0, lines.indexOf(QStringLiteral("Log file is being created...")) - 1));
        log.replaceInStrings(QRegularExpression(QStringLiteral("^\\[\\w+\\] ")), QString());
        m_backend->script(SetupSigning, failing(jobError, QStringLiteral("helper went away"), records));
        m_backend->script(Logging, failing(logRefused ? 4 : 0, QStringLiteral("no rights")));
        SelectedPaths selected;
        for (const QString &path : ticked) {
            selected.emplace(m_tree + QLatin1Char('/') + path, false);
        }
        const int queued = records.isEmpty() && !jobError ? 0 : ticked.size();
        const bool completed = lines.contains(QStringLiteral("Finished.")) || lines.filter(QStringLiteral("Signing stopped")).size();
        if (jobError) {
            QTest::ignoreMessage(QtWarningMsg, "Error code 4, text: \"helper went away\"!");
        }

        SigningDialog dialog(KeyId, selected, Bsign::SignMode(mode), true);
        QPushButton *ok = dialogButton(&dialog, QDialogButtonBox::Ok);
        bool cancelOff = false;
        // A run that did not complete is closed with Esc, which must not make it count as one.
        ModalAnswerer answerer;
        answerer.answerWhen([ok](QWidget *) { return ok->isEnabled(); },
            [&](QWidget *) {
                cancelOff = !dialogButton(&dialog, QDialogButtonBox::Cancel)->isEnabled();
                completed ? ok->click() : QTest::keyClick(&dialog, Qt::Key_Escape);
            });
        const int result = dialog.exec();
        QVERIFY(cancelOff);
        QCOMPARE(result, int(completed ? QDialog::Accepted : QDialog::Rejected));
        QCOMPARE(dialog.isCompleted(), completed);
        QTRY_COMPARE_WITH_TIMEOUT(viewLines(&dialog), lines, 1000);
        QCOMPARE(dialog.findChild<QProgressBar *>()->maximum(), qMax(queued, 1));
        QCOMPARE(progress(&dialog), jobError ? 0 : queued);
        QCOMPARE(m_backend->callsWith(SetupSigning, QStringLiteral("signing_process")).size(), queued ? 1 : 0);
        const auto logCalls = m_backend->callsWith(Logging, QStringLiteral("log"));
        QCOMPARE(logCalls.size(), log.isEmpty() ? 0 : 1);
        QCOMPARE(logCalls.value(0).arguments.value(QStringLiteral("log")).toStringList(), log);
        QCOMPARE(logCalls.value(0).helperId, log.isEmpty() ? QString() : QStringLiteral("ru.orlis.kcm.digsig"));
    }

    // A cancel kills the signing job, or ends the list building that keeps the loop running; it
    // counts as a completed run, keeps the dialog open with a summary and writes the log.
    void cancel()
    {
        HelperScript script = failing(0, QString(), {fileRecord(m_tree + QStringLiteral("/prog"), 0)});
        script.neverFinishes = true;
        m_backend->script(SetupSigning, script);
        for (const bool duringSigning : {true, false}) {
            const SelectedPaths files {{m_tree + QStringLiteral("/prog"), false}, {m_tree + QStringLiteral("/lib.so"), false}};
            // Listing /usr takes long enough for the cancel to come while it runs.
            SigningDialog dialog(KeyId, duringSigning ? files : SelectedPaths {{QStringLiteral("/usr"), true}}, Bsign::XattrOnly, true);
            ModalAnswerer answerer;
            answerer.answerWhen([&](QWidget *) { return duringSigning ? progress(&dialog) == 1 : viewLines(&dialog).contains(Created); },
                [](QWidget *window) {
                    ModalAnswerer::pressButton(window, QDialogButtonBox::Cancel);
                    QMetaObject::invokeMethod(dialogButton(window, QDialogButtonBox::Ok), "click", Qt::QueuedConnection);
                });
            QCOMPARE(dialog.exec(), int(QDialog::Accepted));
            QVERIFY(dialog.isCompleted());
            QTest::qWait(50); // for anything the building might still have queued
            const QStringList lines = viewLines(&dialog);
            const QString summary
                = QStringLiteral("[OK] Summary: %1 of %2 files signed, 0 failed, %1 not attempted.").arg(int(duringSigning)).arg(2 * duringSigning);
            QCOMPARE(lines.mid(lines.indexOf(QStringLiteral("[OK] Cancelled."))),
                QStringList({QStringLiteral("[OK] Cancelled."), summary, QStringLiteral("Log file is being created...")}));
            QVERIFY(!duringSigning || m_backend->jobs().first()->wasKilled());
        }
        QCOMPARE(m_backend->callNames(), QStringList({SetupSigning, Logging, Logging}));
    }

    // Root gets real paths: a directory ticked through a link and as itself is signed once, under
    // its real names, and the log says how it was ticked; a link leading out is passed over.
    void linkedPaths()
    {
        const QString alias = m_dir->filePath(QStringLiteral("alias"));
        QVERIFY(QFile::link(m_tree, alias) && QFile::link(QStringLiteral("/etc"), m_tree + QStringLiteral("/sub/escape")));
        m_backend->script(SetupSigning, failing(0, QString(), {fileRecord(m_tree + QStringLiteral("/prog"), 0)}));
        SigningDialog dialog(
            KeyId, {{alias, true}, {m_tree + QStringLiteral("/sub"), true}, {m_tree + QStringLiteral("/link-to-notes"), false}}, Bsign::XattrOnly, false);
        ModalAnswerer answerer;
        answerer.answerWhen([&](QWidget *) { return dialogButton(&dialog, QDialogButtonBox::Ok)->isEnabled(); },
            [&](QWidget *) { dialogButton(&dialog, QDialogButtonBox::Ok)->click(); });
        dialog.exec();
        const QVariantMap arguments = m_backend->callsWith(SetupSigning, QStringLiteral("signing_process")).value(0).arguments;
        QStringList files = arguments.value(QStringLiteral("files")).toStringList();
        files.replaceInStrings(m_tree + QLatin1Char('/'), QString());
        QCOMPARE(sorted(files),
            sorted({QStringLiteral(".hidden"), QStringLiteral("lib.so"), QStringLiteral("notes.txt"), QStringLiteral("prog"), QStringLiteral("sub/deeper/tool"),
                QStringLiteral("sub/readme")}));
        QCOMPARE(dialog.signedTemplates(), QStringList {QStringLiteral("/%1/prog").arg(m_tree)});
        QTRY_VERIFY_WITH_TIMEOUT(
            viewLines(&dialog).contains(QStringLiteral("[OK] File \"%1/prog (as %2/prog)\" signed successfully.").arg(m_tree, alias)), 1000);
        QVERIFY(viewLines(&dialog).contains(
            QStringLiteral("[Warning] Link \"%1/sub/escape\" passed over: it points to /etc, outside the ticked paths.").arg(m_tree)));
        QCOMPARE(viewLines(&dialog).filter(QStringLiteral("passed over")).size(), 1);
    }

    // The key list is read again after the key creation dialog and the key manager, if installed.
    void keysReadAgain()
    {
        StandInProgram launcher("exit 3");
        KgpgLauncher::setKgpgPathForTesting(launcher.missingPath());
        KgpgLauncher::setKgpgLauncherForTesting(launcher.path());
        int listings = 0;
        m_backend->script(KeysList, [&listings](const QVariantMap &) {
            return replying({{QStringLiteral("key"), QStringLiteral("0123456789ABCDEF%1").arg(++listings)}});
        });
        KeyManager manager;
        SelectKeyDialog dialog(&manager, Bsign::ElfOnly);
        ModalAnswerer answerer;
        answerer.press(QDialogButtonBox::Cancel);
        answerer.press(QDialogButtonBox::Ok);
        dialog.findChild<QPushButton *>(QStringLiteral("_createKeyPushButton"))->click();
        dialog.findChild<QPushButton *>(QStringLiteral("_openKeyManagerPushButton"))->click();
        QCOMPARE(answerer.seenTitles(), QStringList {QStringLiteral("The kgpg utility is not installed")});
        QCOMPARE(dialog.selectedKeyID(), QStringLiteral("0123456789ABCDEF2"));
        KgpgLauncher::setKgpgPathForTesting(launcher.path());
        dialog.findChild<QPushButton *>(QStringLiteral("_openKeyManagerPushButton"))->click();
        QCOMPARE(dialog.findChild<QComboBox *>()->currentText(), QStringLiteral("key [789ABCDEF3]"));
    }

    // Sign follows the chosen kinds and the ticks; with only ELF signatures chosen, the tree
    // shows no other files. A rebuilt tree does the same.
    void signRuleElfViewAndRebuild()
    {
        Tab tab(&m_panel);
        for (int combination = 0; combination < 8; ++combination) {
            const bool elf = combination & 1;
            const bool xattr = combination & 2;
            const bool ticked = combination & 4;
            tab.findChild<QCheckBox *>(QStringLiteral("elfCheckBox"))->setChecked(elf);
            tab.findChild<QCheckBox *>(QStringLiteral("xattrCheckBox"))->setChecked(xattr);
            QVERIFY(tab.tick(m_tree + QStringLiteral("/sub"), ticked ? Qt::Checked : Qt::Unchecked));
            QCOMPARE(tab.sign()->isEnabled(), (elf || xattr) && ticked);
            QCOMPARE(tab.shown(m_tree + QStringLiteral("/notes.txt")).isValid(), !elf || xattr);
        }
        tab.chooseMode(Bsign::ElfOnly);
        QPointer<FilteredTreeProxyModel> oldProxy = tab.proxy();
        tab.setupTable();
        QVERIFY(tab.proxy() != oldProxy);
        QTRY_VERIFY_WITH_TIMEOUT(!oldProxy, 2000);
        QVERIFY(!tab.shown(m_tree + QStringLiteral("/notes.txt")).isValid());
        QVERIFY(tab.tick(m_tree + QStringLiteral("/prog"), Qt::Unchecked));
        QVERIFY(!tab.sign()->isEnabled());
    }

    void unsafePaths_data()
    {
        QTest::addColumn<bool>("unsafe");
        for (const char *path : {"/", "/usr", "/usr/local/bin/tool", "//usr//share", "/srv", "/sbin", "/opt/app", "/lib64", "/lib32/x", "/lib", "/bin/ls"}) {
            QTest::newRow(path) << true;
        }
        for (const char *path : {"/etc/tool", "/home/user/lib", "/usrx", "/USR", "/tmp/usr"}) {
            QTest::newRow(path) << false;
        }
    }

    // One question for the whole selection, whichever of its paths is unsafe; declined, it ends
    // the flow, and so does a cancelled key selection.
    void unsafePaths()
    {
        QFETCH(bool, unsafe);
        SigningWidget widget(&m_panel);
        for (const auto button : {QDialogButtonBox::Yes, QDialogButtonBox::No}) {
            ModalAnswerer answerer;
            QStringList windows;
            for (int window = 0; window < 2; ++window) {
                answerer.answer([&windows, button](QWidget *window) {
                    windows.append(window->windowTitle());
                    ModalAnswerer::pressButton(window, qobject_cast<QMessageBox *>(window) ? button : QDialogButtonBox::Cancel);
                });
            }
            widget.signFiles({QStringLiteral("/home/user/file"), QLatin1String(QTest::currentDataTag())}, Bsign::XattrOnly);
            const QStringList expected {QStringLiteral("Selection confirmation"), QStringLiteral("Key selection")};
            QCOMPARE(windows, unsafe ? expected.mid(0, button == QDialogButtonBox::Yes ? 2 : 1) : expected.mid(1));
        }
    }

    void run_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("xattrSetting");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<bool>("saveLog");
        QTest::addColumn<bool>("bootQuestion");
        QTest::addColumn<QStringList>("given"); // handed to signFiles(); empty: the tree is ticked and Sign clicked
        QTest::newRow("elf only, xattr control on") << 0 << 1 << int(Signed) << true << false << QStringList();
        QTest::newRow("xattr only, xattr control on") << 1 << 1 << int(Signed) << false << true << QStringList();
        QTest::newRow("both, xattr control debug") << 2 << 2 << int(Signed) << true << true << QStringList();
        QTest::newRow("failed file") << 1 << 1 << int(FileFailed) << true << false << QStringList();
        QTest::newRow("cancel counts as completed") << 2 << 1 << int(Cancelled) << true << true << QStringList();
        // ELF only never asks about a system directory.
        QTest::newRow("signFiles, elf only") << 0 << 1 << int(Signed) << true << false << QStringList {QStringLiteral("prog"), QStringLiteral("/usr/bin/env")};
        QTest::newRow("signFiles, xattr only") << 1 << 1 << int(Signed) << false << true << QStringList {QStringLiteral("prog"), QStringLiteral("notes.txt")};
        QTest::newRow("signFiles, both") << 2 << 1 << int(FileFailed) << true << false << QStringList {QStringLiteral("lib.so"), QStringLiteral("sub/readme")};
    }

    void run()
    {
        QFETCH(int, mode);
        QFETCH(int, xattrSetting);
        QFETCH(int, outcome);
        QFETCH(bool, saveLog);
        QFETCH(bool, bootQuestion);
        QFETCH(QStringList, given);
        qputenv("DISPLAY", ":42");
        qunsetenv("XAUTHORITY");
        m_config.writeSettings(TempConfig::settings(1, xattrSetting, 2));
        for (QString &file : given) {
            file = QDir(m_tree).filePath(file);
        }
        // A file whose name holds a line break (a line separator in the xattr-only rows) is never sent.
        const QChar lineBreak = mode == Bsign::XattrOnly ? QChar(0x2028) : QChar(QLatin1Char('\n'));
        const QString injected = m_tree + QStringLiteral("/a") + lineBreak + QStringLiteral("/usr");
        Scratch::putFiles(injected, {QStringLiteral("tool")}, true);
        // Records for all files; a cancel comes after the first, before the run could complete.
        m_backend->script(SetupSigning, [outcome](const QVariantMap &arguments) {
            HelperScript signing;
            const QStringList files = arguments.value(QStringLiteral("files")).toStringList();
            for (int file = 0; file < (outcome == Cancelled ? 1 : files.size()); ++file) {
                signing.progress.append(fileRecord(files.at(file), file == 0 && outcome == FileFailed ? 67 : 0));
            }
            signing.neverFinishes = outcome == Cancelled;
            return signing;
        });
        // The templates are written; the boot-list update warns and fails (after a cancel it holds on).
        m_backend->script(Change, [outcome](const QVariantMap &arguments) {
            HelperScript change = failing(4, QStringLiteral("update failed"), {{{QStringLiteral("warning"), QStringLiteral("initrd is large")}}});
            change.neverFinishes = outcome == Cancelled;
            return arguments.contains(QStringLiteral("update_only")) ? change : HelperScript();
        });

        Tab tab(&m_panel);
        QSignalSpy updates(&tab, &SigningWidget::finishUpdate);
        KeysWidget keys;
        auto createKey = keys.findChild<QPushButton *>(QStringLiteral("createKeyButton"));
        // signFiles() finds the other kinds chosen.
        tab.chooseMode(given.isEmpty() ? mode : mode == Bsign::ElfOnly ? Bsign::XattrOnly : Bsign::ElfOnly);
        if (given.isEmpty()) {
            QVERIFY(tab.tick(m_tree));
        }

        ModalAnswerer answerer;
        answerer.answer([saveLog](QWidget *window) {
            window->findChild<QCheckBox *>(QStringLiteral("_saveLogCheckBox"))->setChecked(saveLog);
            ModalAnswerer::pressButton(window, QDialogButtonBox::Ok);
        });
        bool signingModeDuringRun = false;
        bool leftOut = false;
        QString busyDuringRun;
        answerer.answerWhen(
            [outcome](QWidget *window) { return outcome == Cancelled ? progress(window) == 1 : dialogButton(window, QDialogButtonBox::Ok)->isEnabled(); },
            [&](QWidget *window) {
                signingModeDuringRun = tab.inSigningMode(m_tree + QStringLiteral("/prog"));
                busyDuringRun = tab.sign()->isEnabled() ? QString() : HelperActivity::instance()->description(HelperCall::DigsigNamespace);
                leftOut = viewLines(window).contains(
                    QStringLiteral("[Error] File \"%1/a\\u%2/usr/tool\" left out: its name contains a line break or another control character.")
                        .arg(m_tree, QLatin1String(mode == Bsign::XattrOnly ? "2028" : "000a")));
                ModalAnswerer::pressButton(window, outcome == Cancelled ? QDialogButtonBox::Cancel : QDialogButtonBox::Ok);
                QMetaObject::invokeMethod(dialogButton(window, QDialogButtonBox::Ok), "click", Qt::QueuedConnection);
            });
        answerer.press(QDialogButtonBox::Yes);
        if (given.isEmpty()) {
            tab.sign()->click();
        } else {
            tab.signFiles(given + QStringList {injected + QStringLiteral("/tool")}, Bsign::SignMode(mode));
        }

        QCOMPARE(tab.findChild<QCheckBox *>(QStringLiteral("elfCheckBox"))->isChecked(), mode != Bsign::XattrOnly);
        QCOMPARE(tab.findChild<QCheckBox *>(QStringLiteral("xattrCheckBox"))->isChecked(), mode != Bsign::ElfOnly);
        QVERIFY(signingModeDuringRun);
        QVERIFY(leftOut || outcome == Cancelled);
        // Both models are out of signing mode again, whatever the outcome: the status columns
        // fill, and the filter works.
        QVERIFY(!tab.inSigningMode(m_tree + QStringLiteral("/prog")));
        tab.proxy()->showOnlyElf(true);
        QVERIFY(!tab.shown(m_tree + QStringLiteral("/notes.txt")).isValid());
        QCOMPARE(answerer.seenTitles(), bootQuestion ? QStringList {QStringLiteral("Add files for verification")} : QStringList());
        QCOMPARE(m_backend->callNames().count(Access), outcome == FileFailed ? 1 : 2);
        const auto signingCalls = m_backend->callsWith(SetupSigning, QStringLiteral("signing_process"));
        QCOMPARE(signingCalls.size(), 1);
        QCOMPARE(signingCalls.first().helperId + QString::number(signingCalls.first().timeout), QStringLiteral("ru.orlis.kcm.digsig2147483647"));
        const QVariantMap arguments = signingCalls.first().arguments;
        QCOMPARE(arguments.size(), 6);
        QVERIFY(arguments.contains(QStringLiteral("signing_process")) && arguments.contains(QStringLiteral("XAUTHORITY")));
        QCOMPARE(arguments.value(QStringLiteral("key_id")).toString() + arguments.value(QStringLiteral("DISPLAY")).toString(), LastKey + QStringLiteral(":42"));
        QCOMPARE(arguments.value(QStringLiteral("mode")), QVariant(mode));
        const QStringList files = arguments.value(QStringLiteral("files")).toStringList();
        if (given.isEmpty()) {
            QCOMPARE(files.size(), mode == 0 ? 3 : 6);
        } else {
            QCOMPARE(sorted(files), sorted(given));
        }
        QCOMPARE(m_backend->callsWith(Logging, QStringLiteral("log")).size(), saveLog && outcome != FileFailed ? 1 : 0);

        QCOMPARE(m_backend->callsWith(Change, QStringLiteral("update_only")).size(), bootQuestion ? 1 : 0);
        // The run and the boot-list update hold the helper: Sign and "Create new key" wait for
        // them and come back by themselves.
        if (outcome == Cancelled) {
            QCOMPARE(busyDuringRun, QStringLiteral("Signing files…"));
            QCOMPARE(HelperActivity::instance()->description(HelperCall::DigsigNamespace), QStringLiteral("Updating the list of files verified at boot…"));
            QVERIFY(!tab.sign()->isEnabled() && !createKey->isEnabled());
            m_backend->jobs().last()->kill(KJob::EmitResult);
            QVERIFY(tab.sign()->isEnabled() && createKey->isEnabled());
        }
        QTRY_COMPARE_WITH_TIMEOUT(updates.count(), bootQuestion ? 2 : 0, 2000);
        QCOMPARE(updates.value(1), bootQuestion ? (QVariantList {true, outcome == Signed ? QStringLiteral("update failed") : QString()}) : QVariantList());
    }

private:
    // The status model checks the files it shows with "pkexec bsign": this pkexec says no.
    StandInProgram m_pkexec {"exit 1", QStringLiteral("pkexec")};
    TempConfig m_config;
    DigSigControlPanel m_panel;
    std::unique_ptr<FakeHelperBackend> m_backend;
    std::unique_ptr<DialogDeadline> m_deadline;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_tree;
};

QTEST_MAIN(SigningTest)
#include "signingtest.moc"

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
#include "modalanswerer.h"
#include "standinprogram.h"
#include "tempconfig.h"

#include <KMessageWidget>

#include <QCheckBox>
#include <QComboBox>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryFile>
#include <QTest>
#include <QTreeView>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
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

QStringList paths(const QString &root, QStringList relatives)
{
    for (QString &relative : relatives) {
        relative.prepend(root + QLatin1Char('/'));
    }
    return relatives;
}

// A file below the root, a copy of /bin/true or a line of text, with the given mode; missing
// parent directories are made, readable for everyone.
void put(const QString &root, const QString &relative, bool elf, int mode = 0644)
{
    const QString path = root + QLatin1Char('/') + relative;
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (elf) {
        QFile::copy(QStringLiteral("/bin/true"), path);
    } else if (file.open(QIODevice::WriteOnly)) {
        file.write("text\n");
    }
    chmod(QFile::encodeName(path).constData(), mode);
}

// Runs the work in a forked child that, when the test runs as root, drops to the "nobody"
// user first, so that the kernel's own permission checks decide what can be read. Gives the
// lines the work returned and everything the child printed; false when the child failed.
bool runUnprivileged(const std::function<QStringList()> &work, QStringList *lines, QByteArray *printed)
{
    QTemporaryFile result;
    QTemporaryFile output;
    if (!result.open() || !output.open()) {
        return false;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(output.handle(), STDOUT_FILENO);
        dup2(output.handle(), STDERR_FILENO);
        const passwd *nobody = getpwnam("nobody");
        const uid_t id = nobody ? nobody->pw_uid : 65534;
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0)) {
            _exit(3);
        }
        alarm(20); // a child that hangs is ended instead of holding the test
        result.write(work().join(QLatin1Char('\n')).toUtf8());
        result.flush();
        std::fflush(stdout);
        _exit(0);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    result.seek(0);
    output.seek(0);
    *lines = QString::fromUtf8(result.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    *printed = output.readAll();
    return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
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

// Runs the dialog's own loop; once `ready` holds while it is shown, `act` runs once, like a
// person who waits for the dialog to get somewhere and then clicks. Gives the dialog's result.
int execUntil(SigningDialog &dialog, const std::function<bool()> &ready, const std::function<void()> &act)
{
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (dialog.isVisible() && ready()) {
            poll.stop();
            act();
        }
    });
    poll.start(0);
    return dialog.exec();
}

int execUntilOk(SigningDialog &dialog)
{
    QPushButton *ok = dialogButton(&dialog, QDialogButtonBox::Ok);
    return execUntil(
        dialog, [ok] { return ok->isEnabled(); }, [ok] { ok->click(); });
}

QVariantMap fileRecord(const QString &path, int value, const QString &key = QStringLiteral("file_finished"))
{
    return {{key, QVariantMap {{path, value}}}};
}

QVariantMap exportRecord(const QString &path, const QString &errorText)
{
    return {{QStringLiteral("export_result"),
        QVariantMap {{QStringLiteral("key_id"), KeyId}, {QStringLiteral("path"), path}, {QStringLiteral("error_text"), errorText}}}};
}

HelperScript failing(int error, const QString &text, const QList<QVariantMap> &progress = {})
{
    HelperScript script;
    script.error = error;
    script.errorText = error ? text : QString();
    script.progress = progress;
    return script;
}

HelperScript replying(const QVariantMap &reply)
{
    HelperScript script;
    script.reply = reply;
    return script;
}
}

class SigningTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    // The signing dialog
    void queue_data();
    void queue();
    void unreadableParts_data();
    void unreadableParts();
    void signingArguments_data();
    void signingArguments();
    void runOutcome_data();
    void runOutcome();
    void viewKeepsLastThousandLines();
    void cancelDuringSigning();
    void cancelDuringListBuilding();
    // The key selection dialog
    void warningPerMode();
    void keyList();
    void keysReadAgain_data();
    void keysReadAgain();
    // The signing tab
    void signRuleAndElfView();
    void unsafePaths_data();
    void unsafePaths();
    void flowEndsEarly_data();
    void flowEndsEarly();
    void run_data();
    void run();
    void longActionsHoldSignAndKeyCreation();
    void rebuild();

private:
    SignFileModel *modelOf(const SigningWidget &widget) const;
    FilteredTreeProxyModel *proxyOf(const SigningWidget &widget) const;
    QModelIndex shown(const SigningWidget &widget, const QString &path) const;
    bool tick(const SigningWidget &widget, const QString &path, Qt::CheckState state = Qt::Checked) const;
    void chooseMode(const SigningWidget &widget, int mode) const;
    bool inSigningMode(const SigningWidget &widget) const;
    QPushButton *signButton(const SigningWidget &widget) const;

    // The status model checks the files it shows with "pkexec bsign": this pkexec says no.
    StandInProgram m_pkexec {"exit 1", QStringLiteral("pkexec")};
    TempConfig m_config;
    DigSigControlPanel m_panel;
    std::unique_ptr<FakeHelperBackend> m_backend;
    std::unique_ptr<DialogDeadline> m_deadline;
    std::unique_ptr<QTemporaryDir> m_dir;
    // The sample tree; it has a sibling, so that ticking the tree leaves its parent partly ticked.
    QString m_tree;
};

void SigningTest::initTestCase()
{
    qputenv("PATH", QFile::encodeName(m_pkexec.directory()) + ':' + qgetenv("PATH"));
    QVERIFY(m_config.isValid());
    DigSigSettingsData::setConfigurationDirectory(m_config.path());
}

void SigningTest::init()
{
    m_config.writeSettings(TempConfig::settings(1, 1, 2));
    m_deadline = std::make_unique<DialogDeadline>(8000);
    m_backend = std::make_unique<FakeHelperBackend>();
    m_backend->script(KeysList, replying({{QStringLiteral("A first"), QStringLiteral("1111")}, {QStringLiteral("B last"), LastKey}}));
    m_dir = std::make_unique<QTemporaryDir>();
    KeysWidget::setKeyDirectoryForTesting(m_dir->path());
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("sibling")));
    // ELF programs, text files (one of them hidden), links and a subdirectory.
    m_tree = m_dir->filePath(QStringLiteral("tree"));
    for (const char *elf : {"prog", "lib.so", "sub/deeper/tool"}) {
        put(m_tree, QLatin1String(elf), true, 0755);
    }
    for (const char *text : {"notes.txt", ".hidden", "sub/readme"}) {
        put(m_tree, QLatin1String(text), false);
    }
    QVERIFY(QFile::link(m_tree + QStringLiteral("/prog"), m_tree + QStringLiteral("/link-to-prog")));
    QVERIFY(QFile::link(m_tree + QStringLiteral("/notes.txt"), m_tree + QStringLiteral("/link-to-notes")));
}

void SigningTest::cleanup()
{
    QVERIFY2(!m_deadline->expired(), "a window was still open after the deadline");
    m_backend.reset();
    KgpgLauncher::setKgpgPathForTesting(QString());
    KgpgLauncher::setKgpgLauncherForTesting(QString());
    KeysWidget::setKeyDirectoryForTesting(QString());
}

void SigningTest::queue_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QStringList>("ticked"); // "." is the whole tree
    QTest::addColumn<QStringList>("expected");
    const QStringList elves {QStringLiteral("prog"), QStringLiteral("lib.so"), QStringLiteral("sub/deeper/tool")};
    const QStringList files {QStringLiteral("prog"), QStringLiteral("notes.txt"), QStringLiteral("link-to-notes")};
    const QStringList sub {QStringLiteral("sub")};
    QTest::newRow("elf only, whole tree") << 0 << QStringList {QStringLiteral(".")} << elves;
    QTest::newRow("xattr only, whole tree") << 1 << QStringList {QStringLiteral(".")}
                                            << elves + QStringList {QStringLiteral("notes.txt"), QStringLiteral(".hidden"), QStringLiteral("sub/readme")};
    QTest::newRow("elf only, files") << 0 << files << QStringList {QStringLiteral("prog")};
    QTest::newRow("both, files and a link") << 2 << files << QStringList {QStringLiteral("prog"), QStringLiteral("notes.txt")};
    QTest::newRow("elf only, subdirectory") << 0 << sub << QStringList {QStringLiteral("sub/deeper/tool")};
    QTest::newRow("both, subdirectory") << 2 << sub << QStringList {QStringLiteral("sub/deeper/tool"), QStringLiteral("sub/readme")};
}

void SigningTest::queue()
{
    QFETCH(int, mode);
    QFETCH(QStringList, ticked);
    QFETCH(QStringList, expected);
    SelectedPaths selected;
    for (const QString &path : paths(m_tree, ticked)) {
        selected.emplace(QDir::cleanPath(path), QFileInfo(path).isDir());
    }
    SigningDialog dialog(KeyId, selected, Bsign::SignMode(mode), false);
    QCOMPARE(sorted(dialog.parsingFilesFromPaths()), sorted(paths(m_tree, expected)));
    // Everything here is readable: the helper is not asked.
    QVERIFY(m_backend->calls().isEmpty());
}

void SigningTest::unreadableParts_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("listingError"); // -1: the listing comes back empty
    QTest::addColumn<QStringList>("expectedQueue");
    QTest::addColumn<QStringList>("expectedCalls");
    QTest::addColumn<QString>("printed");

    // "open" is readable and holds "locked/", which is not, and "private-elf", an ELF file the
    // user cannot read; "closed/" is a ticked directory the user cannot read, "secret-elf" and
    // "secret-text" ticked unreadable files. The helper lists "closed" as "a-elf" (flag true)
    // and "b-text" (flag false), and answers "check_elf" with success for names holding "elf".
    const QStringList found {QStringLiteral("open/prog"), QStringLiteral("open/notes"), QStringLiteral("open/private-elf"), QStringLiteral("secret-elf"),
        QStringLiteral("secret-text")};
    const QString listing = QStringLiteral("get_dir_iter closed");
    QTest::newRow("elf only") << 0 << 0 << QStringList {QStringLiteral("open/prog"), QStringLiteral("closed/a-elf"), QStringLiteral("secret-elf")}
                              << QStringList {listing, QStringLiteral("check_elf closed/a-elf"), QStringLiteral("check_elf closed/b-text"),
                                     QStringLiteral("check_elf secret-elf"), QStringLiteral("check_elf secret-text")}
                              << QString();
    QTest::newRow("xattr only") << 1 << 0 << found + QStringList {QStringLiteral("closed/a-elf")} << QStringList {listing} << QString();
    QTest::newRow("both") << 2 << 0 << found + QStringList {QStringLiteral("closed/a-elf")} << QStringList {listing} << QString();
    QTest::newRow("listing refused") << 1 << 4 << found << QStringList {listing} << QStringLiteral("listing refused");
    QTest::newRow("empty listing") << 1 << -1 << found << QStringList {listing} << QStringLiteral("ERROR GET ROOT PATHS");
}

// Root reads everything, so the queue is built in a child process that runs as an
// unprivileged user: the kernel decides what cannot be read, nothing is faked but the helper.
void SigningTest::unreadableParts()
{
    QFETCH(int, mode);
    QFETCH(int, listingError);
    QFETCH(QStringList, expectedQueue);
    QFETCH(QStringList, expectedCalls);
    QFETCH(QString, printed);
    const QString root = m_dir->path();
    chmod(QFile::encodeName(root).constData(), 0755);
    put(root, QStringLiteral("open/prog"), true, 0755);
    put(root, QStringLiteral("open/notes"), false);
    put(root, QStringLiteral("open/private-elf"), true, 0200);
    put(root, QStringLiteral("open/locked/hidden-prog"), true, 0755);
    put(root, QStringLiteral("closed/file"), false);
    put(root, QStringLiteral("secret-elf"), true, 0200);
    put(root, QStringLiteral("secret-text"), false, 0200);
    for (const QString &locked : paths(root, {QStringLiteral("open/locked"), QStringLiteral("closed")})) {
        chmod(QFile::encodeName(locked).constData(), 0300);
    }
    const QStringList listed = paths(root, {QStringLiteral("closed/a-elf"), QStringLiteral("closed/b-text")});
    m_backend->script(SetupSigning, [=](const QVariantMap &arguments) {
        if (arguments.contains(QStringLiteral("check_elf"))) {
            return failing(QFileInfo(arguments.value(QStringLiteral("check_elf")).toString()).fileName().contains(QLatin1String("elf")) ? 0 : 1, QString());
        }
        HelperScript script = failing(qMax(listingError, 0), QStringLiteral("listing refused"));
        script.reply = listingError < 0 ? QVariantMap() : QVariantMap {{listed.first(), true}, {listed.last(), false}};
        return script;
    });

    SigningDialog dialog(KeyId,
        {{root + QStringLiteral("/open"), true}, {root + QStringLiteral("/closed"), true}, {root + QStringLiteral("/secret-elf"), false},
            {root + QStringLiteral("/secret-text"), false}},
        Bsign::SignMode(mode), false);
    QStringList lines;
    QByteArray output;
    QVERIFY(runUnprivileged(
        [&] {
            QStringList result = dialog.parsingFilesFromPaths();
            for (const auto &call : m_backend->calls()) {
                result.append(QStringLiteral("call ") + call.arguments.firstKey() + QLatin1Char(' ') + call.arguments.first().toString());
            }
            return result;
        },
        &lines, &output));
    QStringList calls = lines.filter(QStringLiteral("call "));
    calls.replaceInStrings(QStringLiteral("call "), QString()).replaceInStrings(root + QLatin1Char('/'), QString());
    QCOMPARE(sorted(lines.mid(0, lines.size() - calls.size())), sorted(paths(root, expectedQueue)));
    QCOMPARE(sorted(calls), sorted(expectedCalls));
    QVERIFY2(output.contains(printed.toUtf8()), output.constData());
}

void SigningTest::signingArguments_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("elf only") << 0;
    QTest::newRow("xattr only") << 1;
    QTest::newRow("both") << 2;
}

void SigningTest::signingArguments()
{
    QFETCH(int, mode);
    qputenv("DISPLAY", ":42");
    qunsetenv("XAUTHORITY");
    // A directory whose name holds a line break is never sent, nor anything below it.
    const QString injected = m_tree + QStringLiteral("/a\n/usr");
    put(injected, QStringLiteral("tool"), true);
    SigningDialog dialog(
        KeyId, {{m_tree + QStringLiteral("/prog"), false}, {m_tree + QStringLiteral("/sub"), true}, {injected, true}}, Bsign::SignMode(mode), false);
    execUntilOk(dialog);

    const auto calls = m_backend->callsWith(SetupSigning, QStringLiteral("signing_process"));
    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls.first().helperId, QStringLiteral("ru.orlis.kcm.digsig"));
    QCOMPARE(calls.first().timeout, 2147483647);
    const QVariantMap arguments = calls.first().arguments;
    QCOMPARE(arguments.size(), mode ? 7 : 6);
    QCOMPARE(arguments.value(QStringLiteral("key_id")).toString(), KeyId);
    QCOMPARE(arguments.value(QStringLiteral("mode")), QVariant(mode));
    QCOMPARE(arguments.value(QStringLiteral("DISPLAY")).toString(), QStringLiteral(":42"));
    QVERIFY(arguments.contains(QStringLiteral("signing_process")) && arguments.contains(QStringLiteral("XAUTHORITY")));
    const QStringList files
        = paths(m_tree, {QStringLiteral("prog"), QStringLiteral("sub/deeper/tool")}) + (mode ? paths(m_tree, {QStringLiteral("sub/readme")}) : QStringList());
    QCOMPARE(sorted(arguments.value(QStringLiteral("files")).toStringList()), sorted(files));
    QCOMPARE(
        sorted(arguments.value(QStringLiteral("paths")).toStringList()), mode ? paths(m_tree, {QStringLiteral("prog"), QStringLiteral("sub")}) : QStringList());
    QCOMPARE(dialog.findChild<QProgressBar *>()->maximum(), files.size());
    QVERIFY(viewLines(&dialog).contains(
        QStringLiteral("[Error] File \"%1/a\\u000a/usr/tool\" left out: its name contains a line break or another control character.").arg(m_tree)));
}

void SigningTest::runOutcome_data()
{
    // In records and texts "@" stands for the sample tree's root.
    QTest::addColumn<int>("mode");
    QTest::addColumn<QStringList>("ticked");
    QTest::addColumn<bool>("saveLog");
    QTest::addColumn<QList<QVariantMap>>("records");
    QTest::addColumn<int>("jobError");
    QTest::addColumn<bool>("logRefused");
    QTest::addColumn<bool>("completed");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("log");

    const QStringList one {QStringLiteral("prog")};
    const QStringList three {QStringLiteral("prog"), QStringLiteral("lib.so"), QStringLiteral("sub/deeper/tool")};
    const QString okA = QStringLiteral("File \"@/prog\" signed successfully.");
    const QString okC = QStringLiteral("File \"@/sub/deeper/tool\" signed successfully.");
    const QString missing = QStringLiteral("Warning: file @/lib.so not found");
    const QString done = QStringLiteral("Signing completed.");
    const QString logging = QStringLiteral("Log file is being created...");
    const QString finished = QStringLiteral("Finished.");
    const QString writing = QStringLiteral("[OK] Writing selected directories and files to /etc/digsig/xattr_control");
    const QString ok = QStringLiteral("[OK] ");
    const QString keyFile = QStringLiteral("/etc/digsig/xattr_keys/k.gpg");
    const QString exported = QStringLiteral("Key with ID %1 successfully exported to %2").arg(KeyId, keyFile);
    const QString notExported = QStringLiteral("Can not export key with ID %1 to %2").arg(KeyId, keyFile);
    const QVariantMap prog = fileRecord(QStringLiteral("@/prog"), 0);
    const QVariantMap tool = fileRecord(QStringLiteral("@/sub/deeper/tool"), 0);

    QTest::newRow("ok, warning, ok") << 2 << three << true << QList<QVariantMap> {prog, fileRecord(QStringLiteral("@/lib.so"), 2), tool} << 0 << false << true
                                     << QStringList {Created, ok + okA, QStringLiteral("[Warning] ") + missing, ok + okC, ok + done, logging, finished, writing}
                                     << QStringList {okA, missing, okC, done};
    QTest::newRow("failed file never completes") << 0 << three << true << QList<QVariantMap> {prog, fileRecord(QStringLiteral("@/lib.so"), 67), tool} << 0
                                                 << false << false
                                                 << QStringList {Created, ok + okA, QStringLiteral("[Error] @/lib.so signing error: Bad signature found"),
                                                        ok + okC}
                                                 << QStringList();
    QTest::newRow("process error record") << 1 << one << false
                                          << QList<QVariantMap> {fileRecord(QStringLiteral("@/prog"), 1, QStringLiteral("file_error_occured"))} << 0 << false
                                          << false
                                          << QStringList {Created, QStringLiteral("[Error] Process error occurred when sigsing file @/prog: 1"), writing}
                                          << QStringList();
    QTest::newRow("export records") << 1 << one << true
                                    << QList<QVariantMap> {exportRecord(keyFile, QString()), exportRecord(keyFile, QStringLiteral("disk full")), prog} << 0
                                    << false << true
                                    << QStringList {Created, ok + exported, QStringLiteral("[Error] ") + notExported, QStringLiteral("[Error] disk full"),
                                           ok + okA, ok + done, logging, finished, writing}
                                    << QStringList {exported, notExported, QStringLiteral("disk full"), okA, done};
    QTest::newRow("malformed records are ignored") << 0 << one << false
                                                   << QList<QVariantMap> {QVariantMap(), QVariantMap {{QStringLiteral("something_else"), 5}},
                                                          QVariantMap {{QStringLiteral("file_finished"), QVariantMap()}}, prog}
                                                   << 0 << false << true << QStringList {Created, ok + okA, ok + done, finished} << QStringList();
    QTest::newRow("job fails as a whole") << 2 << one << true << QList<QVariantMap>() << 4 << false << false << QStringList {Created} << QStringList();
    // The helper's own words about the refused log stay out of the view.
    QTest::newRow("log writing refused") << 0 << one << true << QList<QVariantMap> {prog} << 0 << true << true
                                         << QStringList {Created, ok + okA, ok + done, logging, QStringLiteral("Failed to write log file"), finished}
                                         << QStringList {okA, done};
    QTest::newRow("nothing to sign") << 0 << QStringList {QStringLiteral("notes.txt")} << true << QList<QVariantMap>() << 0 << false << false
                                     << QStringList {Created, QStringLiteral("[Error] No files to sign.")} << QStringList();
}

void SigningTest::runOutcome()
{
    QFETCH(int, mode);
    QFETCH(QStringList, ticked);
    QFETCH(bool, saveLog);
    QFETCH(QList<QVariantMap>, records);
    QFETCH(int, jobError);
    QFETCH(bool, logRefused);
    QFETCH(bool, completed);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, log);

    for (QVariantMap &record : records) {
        const QVariantMap inner = record.isEmpty() ? QVariantMap() : record.first().toMap();
        if (!inner.isEmpty() && inner.firstKey().startsWith(QLatin1Char('@'))) {
            record.first() = QVariantMap {{QString(inner.firstKey()).replace(QLatin1Char('@'), m_tree), inner.first()}};
        }
    }
    m_backend->script(SetupSigning, failing(jobError, QStringLiteral("helper went away"), records));
    m_backend->script(Logging, failing(logRefused ? 4 : 0, QStringLiteral("no rights")));
    SelectedPaths selected;
    for (const QString &path : paths(m_tree, ticked)) {
        selected.emplace(path, false);
    }
    const int queued = records.isEmpty() && !jobError ? 0 : ticked.size();
    if (jobError) {
        QTest::ignoreMessage(QtWarningMsg, "Error code 4, text: \"helper went away\"!");
    }

    SigningDialog dialog(KeyId, selected, Bsign::SignMode(mode), saveLog);
    QPushButton *ok = dialogButton(&dialog, QDialogButtonBox::Ok);
    bool cancelOff = false;
    // A run that did not complete is closed with Esc, which must not make it count as one.
    const int result = execUntil(
        dialog, [ok] { return ok->isEnabled(); },
        [&] {
            cancelOff = !dialogButton(&dialog, QDialogButtonBox::Cancel)->isEnabled();
            completed ? ok->click() : QTest::keyClick(&dialog, Qt::Key_Escape);
        });
    QVERIFY(cancelOff);
    QCOMPARE(result, int(completed ? QDialog::Accepted : QDialog::Rejected));
    QCOMPARE(dialog.isCompleted(), completed);
    QTRY_COMPARE_WITH_TIMEOUT(viewLines(&dialog), lines.replaceInStrings(QStringLiteral("@"), m_tree), 1000);
    QCOMPARE(dialog.findChild<QProgressBar *>()->maximum(), queued);
    QCOMPARE(progress(&dialog), jobError ? 0 : queued);
    QCOMPARE(m_backend->callsWith(SetupSigning, QStringLiteral("signing_process")).size(), queued ? 1 : 0);
    const auto logCalls = m_backend->callsWith(Logging, QStringLiteral("log"));
    QCOMPARE(logCalls.size(), log.isEmpty() ? 0 : 1);
    if (!log.isEmpty()) {
        QCOMPARE(logCalls.first().helperId, QStringLiteral("ru.orlis.kcm.digsig"));
        QCOMPARE(logCalls.first().arguments.value(QStringLiteral("log")).toStringList(), log.replaceInStrings(QStringLiteral("@"), m_tree));
    }
}

void SigningTest::viewKeepsLastThousandLines()
{
    QList<QVariantMap> records;
    for (int i = 0; i < 1200; ++i) {
        records.append(fileRecord(QStringLiteral("/x/file-%1").arg(i), 0));
    }
    m_backend->script(SetupSigning, failing(0, QString(), records));
    // One queued file: the first record completes the run, the rest only add lines.
    SigningDialog dialog(KeyId, {{m_tree + QStringLiteral("/prog"), false}}, Bsign::ElfOnly, true);
    execUntilOk(dialog);
    const QStringList lines = viewLines(&dialog);
    QCOMPARE(lines.size(), 1000);
    QCOMPARE(lines.first(), QStringLiteral("[OK] File \"/x/file-200\" signed successfully."));
    QCOMPARE(lines.last(), QStringLiteral("[OK] File \"/x/file-1199\" signed successfully."));
    // The log is sent when the count reaches zero, after the first record.
    const auto logCalls = m_backend->callsWith(Logging, QStringLiteral("log"));
    QCOMPARE(logCalls.size(), 1);
    QCOMPARE(logCalls.first().arguments.value(QStringLiteral("log")).toStringList().size(), 2);
}

void SigningTest::cancelDuringSigning()
{
    HelperScript script = failing(0, QString(), {fileRecord(m_tree + QStringLiteral("/prog"), 0)});
    script.neverFinishes = true;
    m_backend->script(SetupSigning, script);
    SigningDialog dialog(KeyId, {{m_tree + QStringLiteral("/prog"), false}, {m_tree + QStringLiteral("/lib.so"), false}}, Bsign::ElfOnly, true);
    const int result = execUntil(
        dialog, [&] { return progress(&dialog) == 1; }, [&] { dialogButton(&dialog, QDialogButtonBox::Cancel)->click(); });
    QCOMPARE(result, int(QDialog::Rejected));
    QVERIFY(dialog.isCompleted());
    QCOMPARE(m_backend->jobs().size(), 1);
    QVERIFY(m_backend->jobs().first()->wasKilled());
    QCOMPARE(viewLines(&dialog).mid(2), QStringList {QStringLiteral("[OK] Cancelled.")});
    // No orderly end was reached: nothing was written to the log.
    QVERIFY(m_backend->callsWith(Logging, QStringLiteral("log")).isEmpty());
}

void SigningTest::cancelDuringListBuilding()
{
    SigningDialog dialog(KeyId, {{m_tree, true}}, Bsign::XattrOnly, false);
    // The building keeps the loop running; the click lands while it walks the tree.
    const int result = execUntil(
        dialog, [&] { return viewLines(&dialog).contains(Created); }, [&] { dialogButton(&dialog, QDialogButtonBox::Cancel)->click(); });
    QCOMPARE(result, int(QDialog::Rejected));
    QVERIFY(dialog.isCompleted());
    QTest::qWait(50); // for anything the building might still have queued
    QVERIFY(m_backend->calls().isEmpty());
    QCOMPARE(viewLines(&dialog), (QStringList {Created, QStringLiteral("[OK] Cancelled.")}));
}

void SigningTest::warningPerMode()
{
    KeyManager manager;
    for (const auto mode : {Bsign::ElfOnly, Bsign::XattrOnly, Bsign::ElfAndXattr}) {
        SelectKeyDialog dialog(&manager, mode);
        const bool warned = mode != Bsign::XattrOnly;
        QCOMPARE(dialog.findChild<KMessageWidget *>()->isVisibleTo(&dialog), warned);
        // Without the warning the dialog gets shorter, not narrower.
        QCOMPARE(dialog.width(), qMax(340, dialog.minimumWidth()));
        QCOMPARE(dialog.height() < 359, !warned);
    }
}

void SigningTest::keyList()
{
    const QString shared = QStringLiteral("11111111112222222222");
    m_backend->script(KeysList,
        replying({{QStringLiteral("Admin [2222222222]"), shared}, {QStringLiteral("Alpha"), QStringLiteral("AAAABBBBCCCC1122223333")},
            {QStringLiteral("short"), QStringLiteral("ABC")}}));
    KeyManager manager;
    SelectKeyDialog dialog(&manager, Bsign::ElfAndXattr);
    auto combo = dialog.findChild<QComboBox *>();
    // The short fingerprint follows the user id, unless the helper added it already.
    QStringList texts;
    for (int i = 0; i < combo->count(); ++i) {
        texts.append(combo->itemText(i));
    }
    QCOMPARE(texts, (QStringList {QStringLiteral("Admin [2222222222]"), QStringLiteral("Alpha [1122223333]"), QStringLiteral("short [ABC]")}));
    QCOMPARE(dialog.selectedKeyID(), QStringLiteral("ABC"));
    combo->setCurrentIndex(0);
    QCOMPARE(dialog.selectedKeyID(), shared);
    QVERIFY(dialogButton(&dialog, QDialogButtonBox::Ok)->isEnabled());
    // Without keys there is nothing to choose.
    m_backend->script(KeysList, HelperScript());
    dialog.populateKeysCombobox();
    QVERIFY(dialog.selectedKeyID().isEmpty());
    QVERIFY(!dialogButton(&dialog, QDialogButtonBox::Ok)->isEnabled());
}

void SigningTest::keysReadAgain_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("kgpgInstalled");
    QTest::addColumn<int>("listings");
    QTest::newRow("after the key creation dialog") << QStringLiteral("_createKeyPushButton") << false << 2;
    QTest::newRow("after the key manager") << QStringLiteral("_openKeyManagerPushButton") << true << 2;
    QTest::newRow("not when the key manager is missing") << QStringLiteral("_openKeyManagerPushButton") << false << 1;
}

void SigningTest::keysReadAgain()
{
    QFETCH(QString, button);
    QFETCH(bool, kgpgInstalled);
    QFETCH(int, listings);
    StandInProgram launcher("exit 3");
    KgpgLauncher::setKgpgPathForTesting(kgpgInstalled ? launcher.path() : launcher.missingPath());
    KgpgLauncher::setKgpgLauncherForTesting(launcher.path());
    int count = 0;
    m_backend->script(KeysList, [&count](const QVariantMap &) {
        return replying(++count == 1 ? QVariantMap {{QStringLiteral("old"), QStringLiteral("1")}} : QVariantMap {{QStringLiteral("new"), QStringLiteral("2")}});
    });
    KeyManager manager;
    SelectKeyDialog dialog(&manager, Bsign::ElfOnly);
    // The key creation dialog or the box about the missing key manager is closed at once.
    ModalAnswerer answerer;
    answerer.answer(
        [](QWidget *window) { ModalAnswerer::pressButton(window, qobject_cast<QMessageBox *>(window) ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel); });
    dialog.findChild<QPushButton *>(button)->click();
    QCOMPARE(answerer.answeredCount(), kgpgInstalled ? 0 : 1);
    QCOMPARE(count, listings);
    QCOMPARE(dialog.selectedKeyID(), QString::number(listings));
}

SignFileModel *SigningTest::modelOf(const SigningWidget &widget) const
{
    return qobject_cast<SignFileModel *>(proxyOf(widget)->sourceModel());
}

FilteredTreeProxyModel *SigningTest::proxyOf(const SigningWidget &widget) const
{
    return qobject_cast<FilteredTreeProxyModel *>(widget.findChild<QTreeView *>()->model());
}

// The row of the path in the tree; invalid while the tree hides it.
QModelIndex SigningTest::shown(const SigningWidget &widget, const QString &path) const
{
    return proxyOf(widget)->mapFromSource(modelOf(widget)->index(path));
}

// Ticks an entry the way the view does when its check box is clicked.
bool SigningTest::tick(const SigningWidget &widget, const QString &path, Qt::CheckState state) const
{
    modelOf(widget)->index(m_dir->filePath(QStringLiteral("sibling")));
    const QModelIndex index = shown(widget, path);
    return index.isValid() && proxyOf(widget)->setData(index, state, Qt::CheckStateRole);
}

void SigningTest::chooseMode(const SigningWidget &widget, int mode) const
{
    widget.findChild<QCheckBox *>(QStringLiteral("elfCheckBox"))->setChecked(mode != Bsign::XattrOnly);
    widget.findChild<QCheckBox *>(QStringLiteral("xattrCheckBox"))->setChecked(mode != Bsign::ElfOnly);
}

// The status model answers nothing for the signature columns while signing runs; outside
// it, an unknown status answers an empty icon and queues a check.
bool SigningTest::inSigningMode(const SigningWidget &widget) const
{
    SignFileModel *model = modelOf(widget);
    return !model->data(model->elfIndex(model->index(m_tree + QStringLiteral("/prog"))), Qt::DecorationRole).isValid();
}

QPushButton *SigningTest::signButton(const SigningWidget &widget) const
{
    return widget.findChild<QPushButton *>(QStringLiteral("signPushButton"));
}

// Sign follows the chosen kinds and the ticks; with only ELF signatures chosen, the tree
// shows no other files.
void SigningTest::signRuleAndElfView()
{
    SigningWidget widget(&m_panel);
    for (int combination = 0; combination < 8; ++combination) {
        const bool elf = combination & 1;
        const bool xattr = combination & 2;
        const bool ticked = combination & 4;
        widget.findChild<QCheckBox *>(QStringLiteral("elfCheckBox"))->setChecked(elf);
        widget.findChild<QCheckBox *>(QStringLiteral("xattrCheckBox"))->setChecked(xattr);
        QVERIFY(tick(widget, m_tree + QStringLiteral("/sub"), ticked ? Qt::Checked : Qt::Unchecked));
        QCOMPARE(signButton(widget)->isEnabled(), (elf || xattr) && ticked);
        QCOMPARE(shown(widget, m_tree + QStringLiteral("/notes.txt")).isValid(), !elf || xattr);
        QVERIFY(shown(widget, m_tree + QStringLiteral("/prog")).isValid());
    }
}

void SigningTest::unsafePaths_data()
{
    QTest::addColumn<bool>("unsafe");
    for (const char *path : {"/", "/usr", "/usr/local/bin/tool", "//usr//share", "/srv", "/sbin", "/opt/app", "/lib64", "/lib32/x", "/lib", "/bin/ls"}) {
        QTest::newRow(path) << true;
    }
    for (const char *path : {"/etc/tool", "/home/user/lib", "/usrx", "/USR", "/tmp/usr"}) {
        QTest::newRow(path) << false;
    }
}

void SigningTest::unsafePaths()
{
    QFETCH(bool, unsafe);
    SigningWidget widget(&m_panel);
    for (const auto button : {QDialogButtonBox::Yes, QDialogButtonBox::No}) {
        ModalAnswerer answerer;
        answerer.press(button);
        // One question for the whole selection, whichever of its paths is unsafe.
        const bool goOn = widget.checkUnsafeSelectedPaths({QStringLiteral("/home/user/file"), QLatin1String(QTest::currentDataTag())});
        QCOMPARE(answerer.answeredCount(), unsafe ? 1 : 0);
        QCOMPARE(goOn, !unsafe || button == QDialogButtonBox::Yes);
    }
}

void SigningTest::flowEndsEarly_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("path"); // empty: the sample tree
    QTest::addColumn<QString>("window");
    QTest::addColumn<QStringList>("calls");
    QTest::newRow("unsafe selection declined") << 1 << QStringLiteral("/") << QStringLiteral("Selection confirmation") << QStringList {Access};
    QTest::newRow("ELF only never asks about system directories")
        << 0 << QStringLiteral("/usr") << QStringLiteral("Key selection") << QStringList {Access, KeysList};
    QTest::newRow("key selection cancelled") << 2 << QString() << QStringLiteral("Key selection") << QStringList {Access, KeysList};
}

void SigningTest::flowEndsEarly()
{
    QFETCH(int, mode);
    QFETCH(QString, path);
    QFETCH(QString, window);
    QFETCH(QStringList, calls);
    SigningWidget widget(&m_panel);
    chooseMode(widget, mode);
    QVERIFY(tick(widget, path.isEmpty() ? m_tree : path));
    ModalAnswerer answerer;
    QStringList windows;
    answerer.answer([&windows](QWidget *window) {
        windows.append(window->windowTitle());
        ModalAnswerer::pressButton(window, qobject_cast<QMessageBox *>(window) ? QDialogButtonBox::No : QDialogButtonBox::Cancel);
    });
    signButton(widget)->click();
    QCOMPARE(windows, QStringList {window});
    QCOMPARE(m_backend->callNames(), calls);
}

void SigningTest::run_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("xattrSetting");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<bool>("saveLog");
    QTest::addColumn<bool>("bootQuestion");
    QTest::newRow("elf only, xattr control on") << 0 << 1 << int(Signed) << true << false;
    QTest::newRow("xattr only, xattr control on") << 1 << 1 << int(Signed) << false << true;
    QTest::newRow("both, xattr control debug") << 2 << 2 << int(Signed) << true << true;
    QTest::newRow("both, xattr control off") << 2 << 0 << int(Signed) << true << false;
    QTest::newRow("failed file") << 1 << 1 << int(FileFailed) << true << false;
    QTest::newRow("cancel counts as completed") << 2 << 1 << int(Cancelled) << true << true;
}

void SigningTest::run()
{
    QFETCH(int, mode);
    QFETCH(int, xattrSetting);
    QFETCH(int, outcome);
    QFETCH(bool, saveLog);
    QFETCH(bool, bootQuestion);
    m_config.writeSettings(TempConfig::settings(1, xattrSetting, 2));
    // A cancel comes after the first record, before the run could complete.
    HelperScript signing;
    for (const QString &file : paths(m_tree,
             {QStringLiteral("prog"), QStringLiteral("lib.so"), QStringLiteral("sub/deeper/tool"), QStringLiteral("notes.txt"), QStringLiteral(".hidden"),
                 QStringLiteral("sub/readme")})) {
        signing.progress.append(fileRecord(file, signing.progress.isEmpty() && outcome == FileFailed ? 67 : 0));
    }
    signing.progress = signing.progress.mid(0, outcome == Cancelled ? 1 : -1);
    signing.neverFinishes = outcome == Cancelled;
    m_backend->script(SetupSigning, signing);
    // The update of the boot-time list warns and fails.
    m_backend->script(Change, failing(4, QStringLiteral("update failed"), {{{QStringLiteral("warning"), QStringLiteral("initrd is large")}}}));

    SigningWidget widget(&m_panel);
    QSignalSpy updates(&widget, &SigningWidget::finishUpdate);
    chooseMode(widget, mode);
    QVERIFY(tick(widget, m_tree));
    QCOMPARE(proxyOf(widget)->checkedList(), QList<QModelIndex> {shown(widget, m_tree)});

    ModalAnswerer answerer;
    QString keyDialog;
    answerer.answer([&](QWidget *window) {
        keyDialog = window->objectName();
        window->findChild<QCheckBox *>(QStringLiteral("_saveLogCheckBox"))->setChecked(saveLog);
        ModalAnswerer::pressButton(window, QDialogButtonBox::Ok);
    });
    bool signingModeDuringRun = false;
    answerer.answerWhen(
        [outcome](QWidget *window) { return outcome == Cancelled ? progress(window) == 1 : dialogButton(window, QDialogButtonBox::Ok)->isEnabled(); },
        [&](QWidget *window) {
            signingModeDuringRun = inSigningMode(widget);
            ModalAnswerer::pressButton(window, outcome == Cancelled ? QDialogButtonBox::Cancel : QDialogButtonBox::Ok);
        });
    const bool update = bootQuestion && outcome == Signed;
    answerer.press(update ? QDialogButtonBox::Yes : QDialogButtonBox::No);
    if (update) {
        QTest::ignoreMessage(QtDebugMsg, "Applying changes occurred with warnings initrd is large");
    }
    signButton(widget)->click();

    QCOMPARE(keyDialog, QStringLiteral("SelectKeyDialog"));
    QVERIFY(signingModeDuringRun);
    // Both models are out of signing mode again, whatever the outcome: the status columns
    // fill, and the filter works.
    QVERIFY(!inSigningMode(widget));
    proxyOf(widget)->showOnlyElf(true);
    QVERIFY(!shown(widget, m_tree + QStringLiteral("/notes.txt")).isValid());
    QCOMPARE(answerer.seenTitles(), bootQuestion ? QStringList {QStringLiteral("Add files for verification")} : QStringList());
    QCOMPARE(m_backend->callNames().count(Access), outcome == FileFailed ? 1 : 2);
    const auto signingCalls = m_backend->callsWith(SetupSigning, QStringLiteral("signing_process"));
    QCOMPARE(signingCalls.size(), 1);
    const QVariantMap arguments = signingCalls.first().arguments;
    QCOMPARE(arguments.value(QStringLiteral("key_id")).toString(), LastKey);
    QCOMPARE(arguments.value(QStringLiteral("mode")).toInt(), mode);
    QCOMPARE(arguments.value(QStringLiteral("files")).toStringList().size(), mode == 0 ? 3 : 6);
    QCOMPARE(arguments.value(QStringLiteral("paths")).toStringList(), mode == 0 ? QStringList() : QStringList {m_tree});
    QCOMPARE(m_backend->callsWith(Logging, QStringLiteral("log")).size(), saveLog && outcome == Signed ? 1 : 0);

    const auto changeCalls = m_backend->callsWith(Change, QStringLiteral("update_only"));
    QCOMPARE(changeCalls.size(), update ? 1 : 0);
    if (update) {
        QTRY_COMPARE_WITH_TIMEOUT(updates.count(), 2, 2000);
        QCOMPARE(updates.at(0), (QVariantList {false, QString()}));
        QCOMPARE(updates.at(1), (QVariantList {true, QStringLiteral("update failed")}));
        QCOMPARE(changeCalls.first().helperId, QStringLiteral("ru.orlis.kcm.digsig"));
        QCOMPARE(changeCalls.first().timeout, 480000);
        QCOMPARE(changeCalls.first().arguments, (QVariantMap {{QStringLiteral("update_only"), QVariant()}}));
    }
    QTest::qWait(50);
    QCOMPARE(updates.count(), update ? 2 : 0);
}

// The signing run and the boot-list update hold the helper: Sign and "Create new key" wait
// for them and come back by themselves.
void SigningTest::longActionsHoldSignAndKeyCreation()
{
    HelperScript neverEnds = failing(0, QString(), {fileRecord(m_tree + QStringLiteral("/prog"), 0)});
    neverEnds.neverFinishes = true;
    m_backend->script(SetupSigning, neverEnds);
    m_backend->script(Change, neverEnds);
    SigningWidget widget(&m_panel);
    KeysWidget keys;
    auto createKey = keys.findChild<QPushButton *>(QStringLiteral("createKeyButton"));
    chooseMode(widget, 2);
    QVERIFY(tick(widget, m_tree));

    ModalAnswerer answerer;
    QString busyDuringRun;
    bool signEnabledDuringRun = true;
    answerer.press(QDialogButtonBox::Ok);
    answerer.answerWhen([](QWidget *window) { return progress(window) == 1; },
        [&](QWidget *window) {
            busyDuringRun = HelperActivity::instance()->description(HelperCall::DigsigNamespace);
            signEnabledDuringRun = signButton(widget)->isEnabled();
            ModalAnswerer::pressButton(window, QDialogButtonBox::Cancel);
        });
    answerer.press(QDialogButtonBox::Yes);
    signButton(widget)->click();
    QCOMPARE(busyDuringRun, QStringLiteral("Signing files…"));
    QVERIFY(!signEnabledDuringRun);

    QCOMPARE(HelperActivity::instance()->description(HelperCall::DigsigNamespace), QStringLiteral("Updating the list of files verified at boot…"));
    QVERIFY(!signButton(widget)->isEnabled());
    QVERIFY(!createKey->isEnabled());
    m_backend->jobs().last()->kill(KJob::EmitResult);
    QVERIFY(signButton(widget)->isEnabled());
    QVERIFY(createKey->isEnabled());
}

void SigningTest::rebuild()
{
    SigningWidget widget(&m_panel);
    chooseMode(widget, Bsign::ElfOnly);
    QPointer<FilteredTreeProxyModel> oldProxy = proxyOf(widget);
    widget.setupTable();
    QVERIFY(proxyOf(widget) != oldProxy);
    QTRY_VERIFY_WITH_TIMEOUT(!oldProxy, 2000);
    // The new tree shows what "Sign executable files" alone asks for, and its ticks drive Sign.
    QVERIFY(!shown(widget, m_tree + QStringLiteral("/notes.txt")).isValid());
    QVERIFY(tick(widget, m_tree + QStringLiteral("/prog"), Qt::Unchecked));
    QVERIFY(!signButton(widget)->isEnabled());
    QVERIFY(tick(widget, m_tree + QStringLiteral("/prog")));
    QVERIFY(signButton(widget)->isEnabled());
}

QTEST_MAIN(SigningTest)
#include "signingtest.moc"

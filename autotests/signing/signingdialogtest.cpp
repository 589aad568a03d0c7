#include "signingdialog.h"
#include "fakehelperbackend.h"
#include "formcheck.h"
#include "unprivilegedrun.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

namespace {
const QString SetupSigning = QStringLiteral("ru.orlis.kcm.digsig.setupsigning");
const QString Logging = QStringLiteral("ru.orlis.kcm.digsig.logging");
const QString KeyId = QStringLiteral("0123456789ABCDEF0123456789ABCDEF01234567");
const QString WritingLine = QStringLiteral("[OK] Writing selected directories and files to /etc/digsig/xattr_control");

QPushButton *button(const QDialog &dialog, QDialogButtonBox::StandardButton which)
{
    return dialog.findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"))->button(which);
}

QStringList viewLines(const QDialog &dialog)
{
    return dialog.findChild<QPlainTextEdit *>(QStringLiteral("logPlainTextEdit"))->toPlainText().split(QLatin1Char('\n'));
}

QProgressBar *progressBar(const QDialog &dialog)
{
    return dialog.findChild<QProgressBar *>(QStringLiteral("progressBar"));
}

// Runs the dialog's own loop. Once `ready` holds while the dialog is shown, `act` runs, like a
// person who waits for the dialog to get somewhere and then clicks. A dialog that never gets
// there is closed after a deadline, and the test sees `ready` never held.
struct DialogRun
{
    int result = -1;
    bool acted = false;
};

DialogRun execUntil(SigningDialog &dialog, const std::function<bool()> &ready, const std::function<void()> &act)
{
    DialogRun run;
    QTimer poll;
    poll.setInterval(0);
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        if (!run.acted && dialog.isVisible() && ready()) {
            run.acted = true;
            poll.stop();
            act();
        }
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &dialog, [&dialog]() { dialog.done(-2); });
    poll.start();
    deadline.start(60000);
    run.result = dialog.exec();
    return run;
}

// The usual end of a run: wait until OK can be pressed, then press it.
DialogRun execUntilOk(SigningDialog &dialog)
{
    return execUntil(
        dialog, [&dialog]() { return button(dialog, QDialogButtonBox::Ok)->isEnabled(); }, [&dialog]() { button(dialog, QDialogButtonBox::Ok)->click(); });
}

QVariantMap fileFinished(const QString &path, int value)
{
    return {{QStringLiteral("file_finished"), QVariantMap {{path, value}}}};
}

QVariantMap fileError(const QString &path, int error)
{
    return {{QStringLiteral("file_error_occured"), QVariantMap {{path, error}}}};
}

QVariantMap exportResult(const QString &keyId, const QString &path, const QString &errorText)
{
    return {{QStringLiteral("export_result"),
        QVariantMap {{QStringLiteral("key_id"), keyId}, {QStringLiteral("path"), path}, {QStringLiteral("error_text"), errorText}}}};
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

// A tree of real files: ELF programs (copies of /bin/true), text files, an object file, an
// empty file, a hidden file, a symbolic link and a subdirectory.
class SampleTree
{
public:
    SampleTree()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("sub/deeper")));
        copyElf(QStringLiteral("prog"));
        copyElf(QStringLiteral("lib.so"));
        copyElf(QStringLiteral("object.o"));
        copyElf(QStringLiteral("sub/deeper/tool"));
        write(QStringLiteral("notes.txt"), "plain text\n");
        write(QStringLiteral(".hidden"), "hidden text\n");
        write(QStringLiteral("sub/readme"), "more text\n");
        write(QStringLiteral("empty"), "");
        write(QStringLiteral("tiny"),
            "\x7f"
            "EL");
        QVERIFY(QFile::link(path(QStringLiteral("prog")), path(QStringLiteral("link-to-prog"))));
        QVERIFY(QFile::link(path(QStringLiteral("notes.txt")), path(QStringLiteral("link-to-notes"))));
    }

    QString root() const { return m_dir.path(); }
    QString path(const QString &relative) const { return m_dir.filePath(relative); }
    QStringList paths(const QStringList &relatives) const
    {
        QStringList result;
        for (const QString &relative : relatives) {
            result.append(path(relative));
        }
        return result;
    }

private:
    void copyElf(const QString &relative) { QVERIFY(QFile::copy(QStringLiteral("/bin/true"), path(relative))); }
    void write(const QString &relative, const QByteArray &content)
    {
        QFile file(path(relative));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    QTemporaryDir m_dir;
};
}

class SigningDialogTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void form();
    void queueOfReadableTree_data();
    void queueOfReadableTree();
    void queueOfUnreadableParts_data();
    void queueOfUnreadableParts();
    void unreadableDirectoryListingFails_data();
    void unreadableDirectoryListingFails();
    void signingActionArguments_data();
    void signingActionArguments();
    void nothingToSign();
    void runOutcome_data();
    void runOutcome();
    void moreThanThousandLines();
    void cancelDuringSigning();
    void cancelDuringListBuilding();
};

void SigningDialogTest::initTestCase()
{
    QVERIFY(QFileInfo(QStringLiteral("/bin/true")).isFile());
}

void SigningDialogTest::form()
{
    SigningDialog dialog(KeyId, {}, Bsign::ElfOnly, false);
    QVERIFY(formMatches(dialog,
        {{{}, "objectName", QStringLiteral("SigningDialog")}, {{}, "size", QSize(500, 297)}, {{}, "modal", true},
            {{}, "windowTitle", QStringLiteral("Signature process")}, {QStringLiteral("logPlainTextEdit"), "readOnly", true},
            {QStringLiteral("logPlainTextEdit"), "minimumWidth", 500}, {QStringLiteral("logPlainTextEdit"), "maximumBlockCount", 1000},
            {QStringLiteral("label"), "text", QStringLiteral("Progress")}, {QStringLiteral("progressBar"), "maximum", 0},
            {QStringLiteral("progressBar"), "value", 0}}));
    QCOMPARE(dialog.findChild<QPlainTextEdit *>(QStringLiteral("logPlainTextEdit"))->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    QVERIFY(!button(dialog, QDialogButtonBox::Ok)->isEnabled());
    QVERIFY(button(dialog, QDialogButtonBox::Cancel)->isEnabled());
    QVERIFY(!dialog.isCompleted());
}

void SigningDialogTest::queueOfReadableTree_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("tickTree");
    QTest::addColumn<QStringList>("ticked");
    QTest::addColumn<QStringList>("expected");

    const QStringList allRegular = {QStringLiteral("prog"), QStringLiteral("lib.so"), QStringLiteral("object.o"), QStringLiteral("sub/deeper/tool"),
        QStringLiteral("notes.txt"), QStringLiteral(".hidden"), QStringLiteral("sub/readme"), QStringLiteral("empty"), QStringLiteral("tiny")};
    const QStringList elves = {QStringLiteral("prog"), QStringLiteral("lib.so"), QStringLiteral("sub/deeper/tool")};

    QTest::newRow("elf only, whole tree") << 0 << true << QStringList() << elves;
    QTest::newRow("xattr only, whole tree") << 1 << true << QStringList() << allRegular;
    QTest::newRow("both, whole tree") << 2 << true << QStringList() << allRegular;
    QTest::newRow("elf only, ticked files") << 0 << false << QStringList {QStringLiteral("prog"), QStringLiteral("notes.txt"), QStringLiteral("object.o")}
                                            << QStringList {QStringLiteral("prog")};
    QTest::newRow("xattr only, ticked files and a link")
        << 1 << false << QStringList {QStringLiteral("prog"), QStringLiteral("notes.txt"), QStringLiteral("link-to-notes")}
        << QStringList {QStringLiteral("prog"), QStringLiteral("notes.txt")};
    QTest::newRow("elf only, ticked subdirectory") << 0 << false << QStringList {QStringLiteral("sub")} << QStringList {QStringLiteral("sub/deeper/tool")};
    QTest::newRow("both, ticked subdirectory") << 2 << false << QStringList {QStringLiteral("sub")}
                                               << QStringList {QStringLiteral("sub/deeper/tool"), QStringLiteral("sub/readme")};
}

void SigningDialogTest::queueOfReadableTree()
{
    QFETCH(int, mode);
    QFETCH(bool, tickTree);
    QFETCH(QStringList, ticked);
    QFETCH(QStringList, expected);

    SampleTree tree;
    SelectedPaths selected;
    if (tickTree) {
        selected.emplace(tree.root(), true);
    }
    for (const QString &relative : qAsConst(ticked)) {
        selected.emplace(tree.path(relative), QFileInfo(tree.path(relative)).isDir());
    }

    FakeHelperBackend backend;
    SigningDialog dialog(KeyId, selected, static_cast<Bsign::SignMode>(mode), false);
    const QQueue<QString> queue = dialog.parsingFilesFromPaths();
    QCOMPARE(sorted(queue), sorted(tree.paths(expected)));
    // Everything here is readable: the helper is not asked.
    QCOMPARE(backend.calls().size(), 0);
}

void SigningDialogTest::queueOfUnreadableParts_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QStringList>("expectedQueue");
    QTest::addColumn<QStringList>("expectedCalls");

    // The tree: "open" is readable and holds "locked/", which is not; "closed/" is a ticked
    // directory the user cannot read; "secret-elf" and "secret-text" are ticked unreadable
    // files; "open/private-elf" is an ELF file inside the readable directory that the user
    // cannot read. The helper lists "closed" as "closed/a-elf" (flag true), "closed/b-text"
    // (flag false), and answers "check_elf" with success for names holding "elf".
    QTest::newRow("elf only") << 0 << QStringList {QStringLiteral("open/prog"), QStringLiteral("closed/a-elf"), QStringLiteral("secret-elf")}
                              << QStringList {QStringLiteral("get_dir_iter closed"), QStringLiteral("check_elf closed/a-elf"),
                                     QStringLiteral("check_elf closed/b-text"), QStringLiteral("check_elf secret-elf"),
                                     QStringLiteral("check_elf secret-text")};
    QTest::newRow("xattr only") << 1
                                << QStringList {QStringLiteral("open/prog"), QStringLiteral("open/notes"), QStringLiteral("open/private-elf"),
                                       QStringLiteral("closed/a-elf"), QStringLiteral("secret-elf"), QStringLiteral("secret-text")}
                                << QStringList {QStringLiteral("get_dir_iter closed")};
    QTest::newRow("both") << 2
                          << QStringList {QStringLiteral("open/prog"), QStringLiteral("open/notes"), QStringLiteral("open/private-elf"),
                                 QStringLiteral("closed/a-elf"), QStringLiteral("secret-elf"), QStringLiteral("secret-text")}
                          << QStringList {QStringLiteral("get_dir_iter closed")};
}

// Root reads everything, so the queue is built in a child process that runs as an
// unprivileged user: the kernel decides what cannot be read, nothing is faked but the helper.
void SigningDialogTest::queueOfUnreadableParts()
{
    QFETCH(int, mode);
    QFETCH(QStringList, expectedQueue);
    QFETCH(QStringList, expectedCalls);

    UnprivilegedTree tree;
    QVERIFY(tree.isValid());
    tree.makeDirectory(QStringLiteral("open/locked"), 0300);
    tree.copyFile(QStringLiteral("/bin/true"), QStringLiteral("open/prog"), 0755);
    tree.writeFile(QStringLiteral("open/notes"), "text\n", 0644);
    tree.copyFile(QStringLiteral("/bin/true"), QStringLiteral("open/private-elf"), 0200);
    tree.copyFile(QStringLiteral("/bin/true"), QStringLiteral("open/locked/hidden-prog"), 0755);
    tree.makeDirectory(QStringLiteral("closed"), 0300);
    tree.copyFile(QStringLiteral("/bin/true"), QStringLiteral("secret-elf"), 0200);
    tree.writeFile(QStringLiteral("secret-text"), "text\n", 0200);

    FakeHelperBackend backend;
    const QString closedA = tree.path(QStringLiteral("closed/a-elf"));
    const QString closedB = tree.path(QStringLiteral("closed/b-text"));
    backend.script(SetupSigning, [=](const QVariantMap &arguments) {
        HelperScript script;
        if (arguments.contains(QStringLiteral("get_dir_iter"))) {
            script.reply = {{closedA, true}, {closedB, false}};
        } else if (arguments.contains(QStringLiteral("check_elf"))) {
            const bool elf = QFileInfo(arguments.value(QStringLiteral("check_elf")).toString()).fileName().contains(QLatin1String("elf"));
            script.error = elf ? 0 : 1;
        }
        return script;
    });

    SelectedPaths selected {
        {tree.path(QStringLiteral("open")), true},
        {tree.path(QStringLiteral("closed")), true},
        {tree.path(QStringLiteral("secret-elf")), false},
        {tree.path(QStringLiteral("secret-text")), false},
    };
    SigningDialog dialog(KeyId, selected, static_cast<Bsign::SignMode>(mode), false);
    const UnprivilegedRun run = runUnprivileged([&]() {
        QStringList lines = dialog.parsingFilesFromPaths();
        lines.append(QStringLiteral("--"));
        const auto calls = backend.calls();
        for (const auto &call : calls) {
            const QString argument = call.arguments.firstKey();
            lines.append(argument + QLatin1Char(' ') + call.arguments.first().toString());
        }
        return lines;
    });
    QVERIFY2(run.ok, qPrintable(run.failure));
    const int separator = run.lines.indexOf(QStringLiteral("--"));
    QVERIFY(separator >= 0);
    const QStringList queue = run.lines.mid(0, separator);
    QStringList calls = run.lines.mid(separator + 1);
    calls.replaceInStrings(tree.root() + QLatin1Char('/'), QString());

    QCOMPARE(sorted(queue), sorted(tree.paths(expectedQueue)));
    QCOMPARE(sorted(calls), sorted(expectedCalls));
}

void SigningDialogTest::unreadableDirectoryListingFails_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("debugLine");
    QTest::newRow("empty reply") << 0 << QStringLiteral("ERROR GET ROOT PATHS");
    QTest::newRow("failed listing") << 4 << QStringLiteral("listing refused");
}

void SigningDialogTest::unreadableDirectoryListingFails()
{
    QFETCH(int, error);
    QFETCH(QString, debugLine);

    UnprivilegedTree tree;
    QVERIFY(tree.isValid());
    tree.makeDirectory(QStringLiteral("closed"), 0300);
    tree.writeFile(QStringLiteral("closed/file"), "text\n", 0644);

    FakeHelperBackend backend;
    HelperScript script;
    script.error = error;
    script.errorText = error ? QStringLiteral("listing refused") : QString();
    backend.script(SetupSigning, script);

    SigningDialog dialog(KeyId, {{tree.path(QStringLiteral("closed")), true}}, Bsign::XattrOnly, false);
    const UnprivilegedRun run = runUnprivileged([&]() {
        QStringList lines = dialog.parsingFilesFromPaths();
        lines.prepend(QString::number(backend.calls().size()));
        return lines;
    });
    QVERIFY2(run.ok, qPrintable(run.failure));
    QCOMPARE(run.lines, QStringList {QStringLiteral("1")});
    QVERIFY2(run.output.contains(debugLine.toUtf8()), run.output.constData());
}

void SigningDialogTest::signingActionArguments_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("elf only") << 0;
    QTest::newRow("xattr only") << 1;
    QTest::newRow("both") << 2;
}

void SigningDialogTest::signingActionArguments()
{
    QFETCH(int, mode);
    qputenv("DISPLAY", ":42");
    qunsetenv("XAUTHORITY");

    SampleTree tree;
    // A directory whose name holds a line break is never sent, nor anything below it.
    const QString injected = tree.path(QStringLiteral("a\n/usr"));
    QVERIFY(QDir().mkpath(injected));
    QVERIFY(QFile::copy(QStringLiteral("/bin/true"), injected + QStringLiteral("/tool")));
    const SelectedPaths selected {{tree.path(QStringLiteral("prog")), false}, {tree.path(QStringLiteral("sub")), true}, {injected, true}};
    FakeHelperBackend backend;
    HelperScript script;
    script.progress = {fileFinished(tree.path(QStringLiteral("prog")), 0), fileFinished(tree.path(QStringLiteral("sub/deeper/tool")), 0)};
    backend.script(SetupSigning, script);

    SigningDialog dialog(KeyId, selected, static_cast<Bsign::SignMode>(mode), false);
    QVERIFY(execUntilOk(dialog).acted);

    const auto calls = backend.callsWith(SetupSigning, QStringLiteral("signing_process"));
    QCOMPARE(calls.size(), 1);
    const auto &call = calls.first();
    QCOMPARE(call.helperId, QStringLiteral("ru.orlis.kcm.digsig"));
    QCOMPARE(call.timeout, 2147483647);
    const QVariantMap &arguments = call.arguments;
    QCOMPARE(arguments.value(QStringLiteral("signing_process")).userType(), int(QMetaType::QString));
    QVERIFY(arguments.value(QStringLiteral("signing_process")).toString().isEmpty());
    QCOMPARE(arguments.value(QStringLiteral("key_id")).toString(), KeyId);
    QCOMPARE(arguments.value(QStringLiteral("mode")).userType(), int(QMetaType::Int));
    QCOMPARE(arguments.value(QStringLiteral("mode")).toInt(), mode);
    QCOMPARE(arguments.value(QStringLiteral("DISPLAY")).toString(), QStringLiteral(":42"));
    QVERIFY(arguments.contains(QStringLiteral("XAUTHORITY")));
    QCOMPARE(arguments.value(QStringLiteral("XAUTHORITY")).toString(), QString());
    const QStringList files = arguments.value(QStringLiteral("files")).toStringList();
    const QStringList expectedFiles = mode == 0 ? tree.paths({QStringLiteral("prog"), QStringLiteral("sub/deeper/tool")})
                                                : tree.paths({QStringLiteral("prog"), QStringLiteral("sub/deeper/tool"), QStringLiteral("sub/readme")});
    QCOMPARE(sorted(files), sorted(expectedFiles));
    QCOMPARE(progressBar(dialog)->maximum(), files.size());
    QVERIFY(viewLines(dialog).contains(QStringLiteral("[Error] File \"%1\" left out: its name contains a line break or another control character.")
                                           .arg(tree.path(QStringLiteral("a\\u000a/usr/tool")))));
    if (mode == 0) {
        QVERIFY(!arguments.contains(QStringLiteral("paths")));
        QCOMPARE(arguments.size(), 6);
    } else {
        QCOMPARE(sorted(arguments.value(QStringLiteral("paths")).toStringList()), sorted(tree.paths({QStringLiteral("prog"), QStringLiteral("sub")})));
        QCOMPARE(arguments.size(), 7);
    }
}

void SigningDialogTest::nothingToSign()
{
    SampleTree tree;
    FakeHelperBackend backend;
    SigningDialog dialog(KeyId, {{tree.path(QStringLiteral("notes.txt")), false}}, Bsign::ElfOnly, true);
    bool okOnCancelOff = false;
    const DialogRun run = execUntil(
        dialog, [&]() { return viewLines(dialog).contains(QStringLiteral("[Error] No files to sign.")); },
        [&]() {
            okOnCancelOff = button(dialog, QDialogButtonBox::Ok)->isEnabled() && !button(dialog, QDialogButtonBox::Cancel)->isEnabled();
            // Esc closes the dialog; it turns nothing into a completed run.
            QTest::keyClick(&dialog, Qt::Key_Escape);
        });
    QVERIFY(run.acted);
    QVERIFY(okOnCancelOff);
    QCOMPARE(viewLines(dialog), (QStringList {QStringLiteral("Create a list of files to sign..."), QStringLiteral("[Error] No files to sign.")}));
    QCOMPARE(backend.calls().size(), 0);
    QVERIFY(!dialog.isCompleted());
}

void SigningDialogTest::runOutcome_data()
{
    // In records and texts "@" stands for the sample tree's root; ticked are "prog", "lib.so"
    // and "sub/deeper/tool", or only "prog" when fewer records are needed.
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("threeFiles");
    QTest::addColumn<bool>("saveLog");
    QTest::addColumn<QList<QVariantMap>>("records");
    QTest::addColumn<int>("jobError");
    QTest::addColumn<bool>("logRefused");
    QTest::addColumn<bool>("completed");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("log");

    const QString created = QStringLiteral("Create a list of files to sign...");
    const QString okA = QStringLiteral("File \"@prog\" signed successfully.");
    const QString okC = QStringLiteral("File \"@sub/deeper/tool\" signed successfully.");
    const QString done = QStringLiteral("Signing completed.");
    const QString logging = QStringLiteral("Log file is being created...");
    const QString finished = QStringLiteral("Finished.");
    const QString ok = QStringLiteral("[OK] ");

    QTest::newRow("ok, warning, ok") << 2 << true << true
                                     << QList<QVariantMap> {fileFinished(QStringLiteral("@prog"), 0), fileFinished(QStringLiteral("@lib.so"), 2),
                                            fileFinished(QStringLiteral("@sub/deeper/tool"), 0)}
                                     << 0 << false << true
                                     << QStringList {created, ok + okA, QStringLiteral("[Warning] Warning: file @lib.so not found"), ok + okC, ok + done,
                                            logging, finished, WritingLine}
                                     << QStringList {okA, QStringLiteral("Warning: file @lib.so not found"), okC, done};
    QTest::newRow("failed file never completes") << 0 << true << true
                                                 << QList<QVariantMap> {fileFinished(QStringLiteral("@prog"), 0), fileFinished(QStringLiteral("@lib.so"), 67),
                                                        fileFinished(QStringLiteral("@sub/deeper/tool"), 0)}
                                                 << 0 << false << false
                                                 << QStringList {created, ok + okA, QStringLiteral("[Error] @lib.so signing error: Bad signature found"),
                                                        ok + okC}
                                                 << QStringList();
    QTest::newRow("process error record") << 1 << false << false << QList<QVariantMap> {fileError(QStringLiteral("@prog"), 1)} << 0 << false << false
                                          << QStringList {created, QStringLiteral("[Error] Process error occurred when sigsing file @prog: 1"), WritingLine}
                                          << QStringList();
    const QString keyFile = QStringLiteral("/etc/digsig/xattr_keys/k.gpg");
    QTest::newRow("export records") << 1 << false << true
                                    << QList<QVariantMap> {exportResult(KeyId, keyFile, QString()), exportResult(KeyId, keyFile, QStringLiteral("disk full")),
                                           fileFinished(QStringLiteral("@prog"), 0)}
                                    << 0 << false << true
                                    << QStringList {created, QStringLiteral("[OK] Key with ID %1 successfully exported to %2").arg(KeyId, keyFile),
                                           QStringLiteral("[Error] Can not export key with ID %1 to %2").arg(KeyId, keyFile),
                                           QStringLiteral("[Error] disk full"), ok + okA, ok + done, logging, finished, WritingLine}
                                    << QStringList {QStringLiteral("Key with ID %1 successfully exported to %2").arg(KeyId, keyFile),
                                           QStringLiteral("Can not export key with ID %1 to %2").arg(KeyId, keyFile), QStringLiteral("disk full"), okA, done};
    QTest::newRow("malformed records are ignored") << 0 << false << false
                                                   << QList<QVariantMap> {QVariantMap(), QVariantMap {{QStringLiteral("something_else"), 5}},
                                                          QVariantMap {{QStringLiteral("file_finished"), QVariantMap()}},
                                                          fileFinished(QStringLiteral("@prog"), 0)}
                                                   << 0 << false << true << QStringList {created, ok + okA, ok + done, finished} << QStringList();
    QTest::newRow("job fails as a whole") << 2 << false << true << QList<QVariantMap>() << 4 << false << false << QStringList {created} << QStringList();
    // The helper's own words about the refused log stay out of the view.
    QTest::newRow("log writing refused") << 0 << false << true << QList<QVariantMap> {fileFinished(QStringLiteral("@prog"), 0)} << 0 << true << true
                                         << QStringList {created, ok + okA, ok + done, logging, QStringLiteral("Failed to write log file"), finished}
                                         << QStringList {okA, done};
}

void SigningDialogTest::runOutcome()
{
    QFETCH(int, mode);
    QFETCH(bool, threeFiles);
    QFETCH(bool, saveLog);
    QFETCH(QList<QVariantMap>, records);
    QFETCH(int, jobError);
    QFETCH(bool, logRefused);
    QFETCH(bool, completed);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, log);

    SampleTree tree;
    const QString root = tree.root() + QLatin1Char('/');
    FakeHelperBackend backend;
    HelperScript script;
    for (const QVariantMap &record : qAsConst(records)) {
        QVariantMap rooted;
        for (auto field = record.cbegin(); field != record.cend(); ++field) {
            QVariantMap inner = field.value().toMap();
            if (inner.isEmpty() || inner.contains(QStringLiteral("key_id"))) {
                rooted.insert(field.key(), field.value());
                continue;
            }
            rooted.insert(field.key(), QVariantMap {{QString(inner.firstKey()).replace(QLatin1Char('@'), root), inner.first()}});
        }
        script.progress.append(rooted);
    }
    script.error = jobError;
    script.errorText = jobError ? QStringLiteral("helper went away") : QString();
    backend.script(SetupSigning, script);
    HelperScript refused;
    refused.error = logRefused ? 4 : 0;
    refused.errorText = logRefused ? QStringLiteral("no rights") : QString();
    backend.script(Logging, refused);
    lines.replaceInStrings(QStringLiteral("@"), root);
    log.replaceInStrings(QStringLiteral("@"), root);

    SelectedPaths selected {{tree.path(QStringLiteral("prog")), false}};
    if (threeFiles) {
        selected.emplace(tree.path(QStringLiteral("lib.so")), false);
        selected.emplace(tree.path(QStringLiteral("sub/deeper/tool")), false);
    }
    SigningDialog dialog(KeyId, selected, static_cast<Bsign::SignMode>(mode), saveLog);
    if (jobError) {
        QTest::ignoreMessage(QtWarningMsg, "Error code 4, text: \"helper went away\"!");
    }
    // A run that did not complete is closed with Esc, which must not make it count as one.
    const DialogRun run = execUntil(
        dialog, [&dialog]() { return button(dialog, QDialogButtonBox::Ok)->isEnabled(); },
        [&dialog, completed]() {
            if (completed) {
                button(dialog, QDialogButtonBox::Ok)->click();
            } else {
                QTest::keyClick(&dialog, Qt::Key_Escape);
            }
        });
    QVERIFY(run.acted);
    QCOMPARE(run.result, int(completed ? QDialog::Accepted : QDialog::Rejected));
    QCOMPARE(dialog.isCompleted(), completed);
    QCOMPARE(viewLines(dialog), lines);
    QCOMPARE(progressBar(dialog)->maximum(), int(selected.size()));
    QCOMPARE(progressBar(dialog)->value(), jobError ? 0 : int(selected.size()));

    const auto logCalls = backend.callsWith(Logging, QStringLiteral("log"));
    QCOMPARE(logCalls.size(), log.isEmpty() ? 0 : 1);
    if (!log.isEmpty()) {
        QCOMPARE(logCalls.first().helperId, QStringLiteral("ru.orlis.kcm.digsig"));
        QCOMPARE(logCalls.first().timeout, -1);
        QCOMPARE(logCalls.first().arguments.value(QStringLiteral("log")).toStringList(), log);
    }
}

void SigningDialogTest::moreThanThousandLines()
{
    SampleTree tree;
    const QString a = tree.path(QStringLiteral("prog"));
    FakeHelperBackend backend;
    HelperScript script;
    constexpr int Records = 1200;
    for (int i = 0; i < Records; ++i) {
        script.progress.append(fileFinished(QStringLiteral("/x/file-%1").arg(i), 0));
    }
    backend.script(SetupSigning, script);

    // One queued file, so that the first record completes the run and the rest only add lines.
    SigningDialog dialog(KeyId, {{a, false}}, Bsign::ElfOnly, true);
    QVERIFY(execUntilOk(dialog).acted);
    const QStringList lines = viewLines(dialog);
    QCOMPARE(lines.size(), 1000);
    QCOMPARE(lines.last(), QStringLiteral("[OK] File \"/x/file-%1\" signed successfully.").arg(Records - 1));
    QVERIFY(!lines.contains(QStringLiteral("Create a list of files to sign...")));
    QVERIFY(!lines.contains(QStringLiteral("[OK] File \"/x/file-0\" signed successfully.")));

    const auto logCalls = backend.callsWith(Logging, QStringLiteral("log"));
    QCOMPARE(logCalls.size(), 1);
    // The log is sent when the count reaches zero, after the first record.
    QCOMPARE(logCalls.first().arguments.value(QStringLiteral("log")).toStringList().size(), 2);
}

void SigningDialogTest::cancelDuringSigning()
{
    SampleTree tree;
    const QString a = tree.path(QStringLiteral("prog"));
    const QString b = tree.path(QStringLiteral("lib.so"));
    FakeHelperBackend backend;
    HelperScript script;
    script.progress = {fileFinished(a, 0)};
    script.neverFinishes = true;
    backend.script(SetupSigning, script);

    SigningDialog dialog(KeyId, {{a, false}, {b, false}}, Bsign::ElfOnly, true);
    const DialogRun run = execUntil(
        dialog, [&]() { return progressBar(dialog)->value() == 1; }, [&]() { button(dialog, QDialogButtonBox::Cancel)->click(); });
    QVERIFY(run.acted);
    QCOMPARE(run.result, int(QDialog::Rejected));
    QVERIFY(!dialog.isVisible());
    QVERIFY(dialog.isCompleted());
    QCOMPARE(backend.jobs().size(), 1);
    QVERIFY(backend.jobs().first());
    QVERIFY(backend.jobs().first()->wasKilled());
    QCOMPARE(backend.jobs().first()->error(), int(KJob::KilledJobError));
    QCOMPARE(viewLines(dialog).mid(2, 1), QStringList {QStringLiteral("[OK] Cancelled.")});
    // No orderly end was reached: nothing was written to the log.
    QCOMPARE(backend.callsWith(Logging, QStringLiteral("log")).size(), 0);
}

void SigningDialogTest::cancelDuringListBuilding()
{
    SampleTree tree;
    FakeHelperBackend backend;
    SigningDialog dialog(KeyId, {{tree.root(), true}}, Bsign::XattrOnly, false);
    // The building keeps the loop running; the click lands while it walks the tree.
    const DialogRun run = execUntil(
        dialog, [&]() { return viewLines(dialog).contains(QStringLiteral("Create a list of files to sign...")); },
        [&]() { button(dialog, QDialogButtonBox::Cancel)->click(); });
    QVERIFY(run.acted);
    QCOMPARE(run.result, int(QDialog::Rejected));
    QVERIFY(dialog.isCompleted());
    // Let anything the building might still have queued run out.
    QTest::qWait(50);
    QCOMPARE(backend.calls().size(), 0);
    QCOMPARE(viewLines(dialog), (QStringList {QStringLiteral("Create a list of files to sign..."), QStringLiteral("[OK] Cancelled.")}));
    QCOMPARE(progressBar(dialog)->maximum(), 0);
}

QTEST_MAIN(SigningDialogTest)
#include "signingdialogtest.moc"

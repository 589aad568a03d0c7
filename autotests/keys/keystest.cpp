#include "keydialog.h"
#include "keymanager.h"
#include "keysproxyfilemodel.h"
#include "keyswidget.h"
#include "kgpglauncher.h"

#include "dialogdeadline.h"
#include "directorylisting.h"
#include "fakehelperbackend.h"
#include "modalanswerer.h"
#include "stallprobe.h"
#include "standinprogram.h"

#include <QApplication>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <csignal>
#include <memory>

namespace {
const QString Access = QStringLiteral("ru.orlis.kcm.securitysettings.access");
const QString KeysList = QStringLiteral("ru.orlis.kcm.digsig.keyslist");
const QString Export = QStringLiteral("ru.orlis.kcm.digsig.exportkey");
const QString Keywright = QStringLiteral("/usr/lib/kauth/libexec/keywright");
const QString Fingerprint = QStringLiteral("0123456789ABCDEF0123456789ABCDEF01234567");
const QString Generated = QStringLiteral("Key generated successfully.\nFingerprint: ");
const QString MissingKeys = QStringLiteral("Parameters map does not contains required keys");
const QString StillRunning = QStringLiteral("The key generation program is still running. Waiting for it to finish…");

using Parameters = QMap<QString, QString>;
using SignalList = QList<QStringList>;

// Every debug and warning line of the running test; the test library still prints them.
QStringList messages;
QtMessageHandler testlibHandler = nullptr;

void collectMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    messages.append(text);
    testlibHandler(type, context, text);
}

HelperScript failing(int error, const QString &text)
{
    HelperScript script;
    script.error = error;
    script.errorText = text;
    return script;
}

// Writes the key manager's signals down in order, each as its name and its arguments.
void recordSignals(KeyManager *manager, SignalList *seen)
{
    QObject::connect(manager, &KeyManager::keyGenerationStarted, [seen] { seen->append({QStringLiteral("started")}); });
    QObject::connect(manager, &KeyManager::keyGenerationStillRunning, [seen] { seen->append({QStringLiteral("still running")}); });
    QObject::connect(manager, &KeyManager::keyGenerationEnded, [seen](const QString &fingerprint) { seen->append({QStringLiteral("ended"), fingerprint}); });
    QObject::connect(manager, &KeyManager::keyGenerationError, [seen](const QString &error) { seen->append({QStringLiteral("error"), error}); });
    QObject::connect(manager, &KeyManager::keyExported, [seen](const QString &id, const QString &path) {
        seen->append({QStringLiteral("exported"), id, path});
    });
    QObject::connect(manager, &KeyManager::keyExportError, [seen](const QString &id, const QString &path, const QString &error) {
        seen->append({QStringLiteral("export error"), id, path, error});
    });
}

QLineEdit *lineEdit(const QWidget *dialog, const char *name)
{
    return dialog->findChild<QLineEdit *>(QLatin1String(name));
}

QPushButton *okButton(const QWidget *dialog)
{
    return dialog->findChild<QDialogButtonBox *>(QStringLiteral("dialogButtonBox"))->button(QDialogButtonBox::Ok);
}

// Answers the key creation dialog: types a name and presses OK once the answerer's poll is
// over, so that the box that follows can be answered as well.
void createKeyNamed(QWidget *dialog)
{
    QTest::keyClicks(lineEdit(dialog, "nameLineEdit"), QStringLiteral("Administrator"));
    QMetaObject::invokeMethod(okButton(dialog), "click", Qt::QueuedConnection);
}

QByteArray answering(const QString &fingerprint)
{
    return "printf '" + fingerprint.toLatin1() + "'";
}
}

class KeysTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void listExportAndImport();
    void keyGeneration_data();
    void keyGeneration();
    void missingProgramIsAnError();
    void slowProgramIsAwaitedWithoutStall();
    void typedCharacters_data();
    void typedCharacters();
    void createKeyDialog_data();
    void createKeyDialog();
    void showsKeyDirectories();
    void filterListsAreExtended();
    void keyManagerProgram();
    void createdKeyIsExported_data();
    void createdKeyIsExported();
    void slowKeyCreationCannotBeClosed();
    void cancelledCreationRunsNothing();

private:
    std::unique_ptr<FakeHelperBackend> m_backend;
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<DialogDeadline> m_deadline;
};

void KeysTest::initTestCase()
{
    testlibHandler = qInstallMessageHandler(collectMessage);
}

void KeysTest::init()
{
    messages.clear();
    m_deadline = std::make_unique<DialogDeadline>(8000);
    m_backend = std::make_unique<FakeHelperBackend>();
    m_root = std::make_unique<QTemporaryDir>();
    KeysWidget::setKeyDirectoryForTesting(m_root->path());
    KgpgLauncher::setKgpgPathForTesting(m_root->filePath(QStringLiteral("no-kgpg")));
    KgpgLauncher::setKgpgLauncherForTesting(m_root->filePath(QStringLiteral("no-launcher")));
}

void KeysTest::cleanup()
{
    QVERIFY2(!m_deadline->expired(), "a window was still open after the deadline");
    m_backend.reset();
    KeysWidget::setKeyDirectoryForTesting(QString());
    KgpgLauncher::setKgpgPathForTesting(QString());
    KgpgLauncher::setKgpgLauncherForTesting(QString());
    KeyManager::setProgramForTesting(QString());
    KeyManager::setWaitForTesting(-1);
}

void KeysTest::listExportAndImport()
{
    HelperScript keys;
    keys.reply = {{QStringLiteral("Zeta"), QStringLiteral("F2")}, {QStringLiteral("Alpha"), QStringLiteral("F1")}};
    m_backend->script(KeysList, keys);
    SignalList seen;
    KeyManager manager;
    recordSignals(&manager, &seen);
    const QList<KeyInfo> listed = manager.keys();
    QCOMPARE(listed.size(), 2);
    QCOMPARE(listed.first().userId() + listed.first().fingerPrint(), QStringLiteral("AlphaF1"));
    QCOMPARE(listed.last().userId() + listed.last().fingerPrint(), QStringLiteral("ZetaF2"));

    const QString path = QStringLiteral("/tmp/out/ABCD.gpg");
    manager.exportKey(QStringLiteral("ABCD"), path);
    m_backend->script(Export, failing(7, QStringLiteral("no such key")));
    manager.exportKey(QStringLiteral("ABCD"), path);
    QCOMPARE(seen,
        (SignalList {{QStringLiteral("exported"), QStringLiteral("ABCD"), path},
            {QStringLiteral("export error"), QStringLiteral("ABCD"), path, QStringLiteral("no such key")}}));
    QVERIFY(messages.contains(QStringLiteral("export key error: no such key")));
    QCOMPARE(m_backend->callNames(), (QStringList {KeysList, Export, Export}));
    QVERIFY(m_backend->calls().first().arguments.isEmpty());
    QCOMPARE(m_backend->calls().last().arguments, (QVariantMap {{QStringLiteral("key"), QStringLiteral("ABCD")}, {QStringLiteral("path"), path}}));
    for (const auto &call : m_backend->calls()) {
        QCOMPARE(call.helperId, QStringLiteral("ru.orlis.kcm.digsig"));
    }

    // A failed listing is an empty one, and the helper's words are logged.
    keys.error = 4;
    keys.errorText = QStringLiteral("helper is gone");
    m_backend->script(KeysList, keys);
    QVERIFY(manager.keys().isEmpty());
    QVERIFY(messages.contains(QStringLiteral("helper is gone")));

    // The vendor keys are imported in the background: a success is silent, a failure only warned.
    m_backend->clearCalls();
    messages.clear();
    m_backend->script(KeysList, HelperScript());
    manager.importZelmarkKeys();
    m_backend->script(KeysList, failing(3, QStringLiteral("keys not found")));
    manager.importZelmarkKeys();
    QVERIFY(messages.isEmpty());
    QCOMPARE(m_backend->calls().last().arguments, (QVariantMap {{QStringLiteral("import_zelmark_keys"), QVariant()}}));
    QTRY_VERIFY_WITH_TIMEOUT(!m_backend->jobs().first() && !m_backend->jobs().last(), 2000);
    QCOMPARE(messages, QStringList {QStringLiteral("import zelmark keys error: keys not found")});
    QCOMPARE(seen.size(), 2);
}

void KeysTest::keyGeneration_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<Parameters>("parameters");
    QTest::addColumn<QStringList>("arguments"); // after keywright and --genkey; empty: not run
    QTest::addColumn<SignalList>("expected");

    const QStringList started {QStringLiteral("started")};
    const auto ended = [](const char *fingerprint) { return QStringList {QStringLiteral("ended"), QLatin1String(fingerprint)}; };
    const auto failed = [](const QString &error) { return QStringList {QStringLiteral("error"), error}; };
    // Like keywright: its error text for an empty name, else a fingerprint.
    const QByteArray keywrightLike = "if [ -z \"$3\" ]; then printf '" + MissingKeys.toLatin1() + "'; exit 1; fi\nprintf 0123456789ABCDEF";
    const QString name = QStringLiteral("Name-Real");
    const QString email = QStringLiteral("Name-Email");
    const QString comment = QStringLiteral("Name-Comment");
    const Parameters all {{name, QStringLiteral("Admin")}, {email, QStringLiteral("a@b.org")}, {comment, QStringLiteral("note")}};
    const QStringList allArguments {QStringLiteral("Admin"), QStringLiteral("a@b.org"), QStringLiteral("note")};

    QTest::newRow("email before comment") << keywrightLike << false << all << allArguments << SignalList {started, ended("0123456789ABCDEF")};
    QTest::newRow("empty comment is still an argument")
        << keywrightLike << false << Parameters {{name, QStringLiteral("Admin")}, {comment, QString()}}
        << QStringList {QStringLiteral("Admin"), QString(), QString()} << SignalList {started, ended("0123456789ABCDEF")};
    QTest::newRow("only Name-Email runs with an empty name")
        << keywrightLike << false << Parameters {{email, QStringLiteral("a@b.org")}} << QStringList {QString(), QStringLiteral("a@b.org"), QString()}
        << SignalList {started, failed(MissingKeys)};
    QTest::newRow("only Name-Comment runs") << keywrightLike << false << Parameters {{comment, QStringLiteral("c")}}
                                            << QStringList {QString(), QString(), QStringLiteral("c")} << SignalList {started, failed(MissingKeys)};
    QTest::newRow("none of the keys") << keywrightLike << false << Parameters {{QStringLiteral("Name"), QStringLiteral("Admin")}} << QStringList()
                                      << SignalList {failed(MissingKeys)};
    QTest::newRow("access refused") << keywrightLike << true << all << QStringList() << SignalList();
    QTest::newRow("line feed dropped") << QByteArray("printf 'ABC\\nDEF\\n'") << false << all << allArguments << SignalList {started, ended("ABCDEF")};
    QTest::newRow("cut at a NUL byte") << QByteArray("printf 'ABC\\000DEF'") << false << all << allArguments << SignalList {started, ended("ABC")};
    QTest::newRow("non-zero exit gives standard output") << QByteArray("printf 'Bad passphrase'; printf 'noise' >&2; exit 1") << false << all << allArguments
                                                         << SignalList {started, failed(QStringLiteral("Bad passphrase"))};
    QTest::newRow("exit 0 without a fingerprint") << QByteArray("printf '\\n'") << false << all << allArguments
                                                  << SignalList {started, failed(QStringLiteral("The key was generated but no fingerprint was reported"))};
    QTest::newRow("crash") << QByteArray("printf ABCD\nkill -9 $$") << false << all << allArguments
                           << SignalList {started, failed(QStringLiteral("The key generation program ended abnormally."))};
}

void KeysTest::keyGeneration()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, refused);
    QFETCH(Parameters, parameters);
    QFETCH(QStringList, arguments);
    QFETCH(SignalList, expected);

    if (refused) {
        m_backend->script(Access, failing(1, QStringLiteral("authentication cancelled")));
    }
    StandInProgram program(body);
    KeyManager::setProgramForTesting(program.path());
    SignalList seen;
    KeyManager manager;
    recordSignals(&manager, &seen);
    manager.keyGeneration(parameters);
    QTRY_VERIFY_WITH_TIMEOUT(!manager.isKeyGenerationRunning(), 5000);

    QCOMPARE(seen, expected);
    QCOMPARE(m_backend->callNames(), QStringList {Access});
    QCOMPARE(m_backend->calls().first().helperId, QStringLiteral("ru.orlis.kcm.securitysettings"));
    QCOMPARE(messages.contains(QStringLiteral("authentication cancelled")), refused);
    QCOMPARE(program.arguments(), arguments.isEmpty() ? QStringList() : QStringList({Keywright, QStringLiteral("--genkey")}) + arguments);
}

void KeysTest::missingProgramIsAnError()
{
    StandInProgram program;
    KeyManager::setProgramForTesting(program.missingPath());
    SignalList seen;
    KeyManager manager;
    recordSignals(&manager, &seen);
    manager.keyGeneration({{QStringLiteral("Name-Real"), QStringLiteral("Administrator")}});
    QTRY_VERIFY_WITH_TIMEOUT(!manager.isKeyGenerationRunning(), 5000);
    QCOMPARE(seen.size(), 2);
    QCOMPARE(seen.last().first(), QStringLiteral("error"));
    QVERIFY(seen.last().last().startsWith(QStringLiteral("The key generation program could not be started: ")));
}

// Under the real pkexec keywright runs as root and the module may not signal it: a program
// that ignores SIGTERM and answers late is awaited, with the loop running, and its answer used.
void KeysTest::slowProgramIsAwaitedWithoutStall()
{
    StandInProgram program("trap '' TERM\necho $$ > \"$STANDIN_DIR/pid\"\nwhile [ ! -e \"$STANDIN_DIR/answer\" ]; do sleep 0.02; done\nprintf F00D");
    KeyManager::setProgramForTesting(program.path());
    KeyManager::setWaitForTesting(300);
    SignalList seen;
    KeyManager manager;
    recordSignals(&manager, &seen);
    StallProbe probe;

    manager.keyGeneration({{QStringLiteral("Name-Real"), QStringLiteral("Administrator")}});
    QTRY_COMPARE_WITH_TIMEOUT(seen, (SignalList {{QStringLiteral("started")}, {QStringLiteral("still running")}}), 3000);
    QFile pidFile(program.filePath(QStringLiteral("pid")));
    QVERIFY(pidFile.open(QIODevice::ReadOnly));
    QCOMPARE(::kill(pidFile.readAll().trimmed().toInt(), SIGTERM), 0);
    QTest::qWait(100);
    QVERIFY(manager.isKeyGenerationRunning());

    QFile answer(program.filePath(QStringLiteral("answer")));
    QVERIFY(answer.open(QIODevice::WriteOnly));
    QTRY_VERIFY_WITH_TIMEOUT(!manager.isKeyGenerationRunning(), 5000);
    QCOMPARE(seen.size(), 3);
    QCOMPARE(seen.last(), (QStringList {QStringLiteral("ended"), QStringLiteral("F00D")}));
    QVERIFY2(probe.longestStallMs() < 100, qPrintable(QString::number(probe.longestStallMs())));
}

void KeysTest::typedCharacters_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("expected");

    QTest::newRow("Cyrillic name") << QByteArray("nameLineEdit") << QStringLiteral("Иван Петров") << QStringLiteral("Иван Петров");
    QTest::newRow("digits and underscore after a letter") << QByteArray("nameLineEdit") << QStringLiteral("Admin_2 x") << QStringLiteral("Admin_2 x");
    QTest::newRow("no leading digit") << QByteArray("nameLineEdit") << QStringLiteral("1Admin") << QStringLiteral("Admin");
    QTest::newRow("no leading space") << QByteArray("nameLineEdit") << QStringLiteral(" Admin") << QStringLiteral("Admin");
    QTest::newRow("no hyphen, dot or brackets") << QByteArray("nameLineEdit") << QStringLiteral("Jean-Luc <P.>") << QStringLiteral("JeanLuc P");
    QTest::newRow("Cyrillic address") << QByteArray("emailLineEdit") << QStringLiteral("почта@пример.рф") << QStringLiteral("почта@пример.рф");
    QTest::newRow("no dot before @") << QByteArray("emailLineEdit") << QStringLiteral("first.last@example.org") << QStringLiteral("firstlast@example.org");
    QTest::newRow("one dot after @") << QByteArray("emailLineEdit") << QStringLiteral("admin@mail.example.org") << QStringLiteral("admin@mail.exampleorg");
    QTest::newRow("one @, not leading") << QByteArray("emailLineEdit") << QStringLiteral("@a@b@c.org") << QStringLiteral("a@bc.org");
    QTest::newRow("partial address stays") << QByteArray("emailLineEdit") << QStringLiteral("admin@host") << QStringLiteral("admin@host");
    QTest::newRow("comment takes anything") << QByteArray("commentLineEdit") << QStringLiteral("-- <x> ") << QStringLiteral("-- <x> ");
}

void KeysTest::typedCharacters()
{
    QFETCH(QByteArray, field);
    QFETCH(QString, keys);
    QFETCH(QString, expected);
    KeyManager manager;
    KeyDialog dialog(&manager);
    QLineEdit *edit = lineEdit(&dialog, field.constData());
    // QTest::keyClicks knows only Latin-1 keys; every letter goes in as a key event carrying its text.
    for (const QChar c : keys) {
        QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
    QCOMPARE(edit->text(), expected);
}

void KeysTest::createKeyDialog_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<QStringList>("boxTexts");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("four letters are too few") << QStringLiteral("Adam") << answering(QStringLiteral("F00D")) << false
                                              << QStringList {QStringLiteral("Name shouldn't be shorter than 5 characters.")} << false;
    QTest::newRow("five letters make a key") << QStringLiteral("Admin") << QByteArray("printf 'F00D\\n'") << false
                                             << QStringList {Generated + QStringLiteral("F00D")} << true;
    QTest::newRow("program fails") << QStringLiteral("Admin") << QByteArray("printf 'Bad passphrase'; exit 1") << false
                                   << QStringList {QStringLiteral("Key generation error:\nBad passphrase")} << false;
    QTest::newRow("access refused") << QStringLiteral("Admin") << answering(QStringLiteral("F00D")) << true << QStringList() << false;
}

void KeysTest::createKeyDialog()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, body);
    QFETCH(bool, refused);
    QFETCH(QStringList, boxTexts);
    QFETCH(bool, accepted);

    if (refused) {
        m_backend->script(Access, failing(1, QStringLiteral("not authorized")));
    }
    StandInProgram program(body);
    KeyManager::setProgramForTesting(program.path());
    KeyManager manager;
    KeyDialog dialog(&manager);
    dialog.show();
    QTest::keyClicks(lineEdit(&dialog, "nameLineEdit"), name);
    QTest::keyClicks(lineEdit(&dialog, "emailLineEdit"), QStringLiteral("admin@example.org"));
    QTest::keyClicks(lineEdit(&dialog, "commentLineEdit"), QStringLiteral("build server"));
    ModalAnswerer answerer;
    bool enabledDuringBox = false;
    answerer.answer([&](QWidget *box) {
        enabledDuringBox = dialog.isEnabled();
        ModalAnswerer::pressButton(box, QDialogButtonBox::Ok);
    });
    QTest::mouseClick(okButton(&dialog), Qt::LeftButton);
    // The key is made in the background; the dialog is locked until its outcome was shown.
    QTRY_VERIFY_WITH_TIMEOUT(dialog.isEnabled() || !dialog.isVisible(), 5000);

    QCOMPARE(answerer.seenTexts(), boxTexts);
    // Only the complaint about the name comes while the form can be used.
    QCOMPARE(enabledDuringBox, name.size() < 5);
    QCOMPARE(dialog.isVisible(), !accepted);
    QCOMPARE(dialog.result(), int(accepted ? QDialog::Accepted : QDialog::Rejected));
    QCOMPARE(lineEdit(&dialog, "nameLineEdit")->text(), name);
    const bool run = name.size() >= 5 && !refused;
    QCOMPARE(m_backend->callNames(), name.size() < 5 ? QStringList() : QStringList {Access});
    QCOMPARE(program.arguments(),
        run ? (QStringList {Keywright, QStringLiteral("--genkey"), name, QStringLiteral("admin@example.org"), QStringLiteral("build server")}) : QStringList());
}

void KeysTest::showsKeyDirectories()
{
    const QString root = m_root->path();
    QVERIFY(DirectoryListing::create(root,
        {QStringLiteral("stray.gpg"), QStringLiteral("keys/"), QStringLiteral("keys/vendor.gpg"), QStringLiteral("keys/.gpg"), QStringLiteral("keys/x.gpg.bak"),
            QStringLiteral("keys/readme.txt"), QStringLiteral("keys/archive/"), QStringLiteral("keys/archive/old.gpg"), QStringLiteral("keys/archive/old.txt"),
            QStringLiteral("xattr_keys/"), QStringLiteral("xattr_keys/ABCD.gpg"), QStringLiteral("my_keys/"), QStringLiteral("other/")}));
    const KeysWidget widget;
    auto view = widget.findChild<QTreeView *>();
    auto proxy = qobject_cast<KeysProxyFileModel *>(view->model());
    const auto source = qobject_cast<QFileSystemModel *>(proxy->sourceModel());
    QCOMPARE(source->filePath(proxy->mapToSource(view->rootIndex())), root);
    for (const QString &directory : QStringList {root, root + QStringLiteral("/keys"), root + QStringLiteral("/keys/archive")}) {
        QVERIFY2(DirectoryListing::waitUntilListed(source, directory), qPrintable(directory));
    }
    // No file directly in the root, only directories whose names contain "keys"; below them
    // every directory, and the files whose names hold something before ".gpg".
    QCOMPARE(DirectoryListing::shownNames(proxy, root), (QStringList {QStringLiteral("keys"), QStringLiteral("my_keys"), QStringLiteral("xattr_keys")}));
    QCOMPARE(DirectoryListing::shownNames(proxy, root + QStringLiteral("/keys")),
        (QStringList {QStringLiteral("archive"), QStringLiteral("vendor.gpg"), QStringLiteral("x.gpg.bak")}));
    QCOMPARE(DirectoryListing::shownNames(proxy, root + QStringLiteral("/keys/archive")), QStringList {QStringLiteral("old.gpg")});
}

void KeysTest::filterListsAreExtended()
{
    const QString root = m_root->path();
    QVERIFY(DirectoryListing::create(root,
        {QStringLiteral("a.gpg"), QStringLiteral("b.asc"), QStringLiteral("c.txt"), QStringLiteral("keys/"), QStringLiteral("certs/"),
            QStringLiteral("other/")}));
    KeysProxyFileModel proxy;
    const QModelIndex rootIndex = proxy.setRootPath(root);
    QCOMPARE(proxy.rootIndex(), rootIndex);
    proxy.setDirFilters({QRegExp(QStringLiteral("keys"))}, rootIndex);
    proxy.setDirFilters({QRegExp(QStringLiteral("certs"))}, rootIndex);
    proxy.setFileNameFilters({QRegExp(QStringLiteral("\\.gpg$"))}, rootIndex);
    proxy.setFileNameFilters({QRegExp(QStringLiteral("\\.asc$"))}, rootIndex);
    QVERIFY(DirectoryListing::waitUntilListed(qobject_cast<QFileSystemModel *>(proxy.sourceModel()), root));
    QCOMPARE(DirectoryListing::shownNames(&proxy, root),
        (QStringList {QStringLiteral("a.gpg"), QStringLiteral("b.asc"), QStringLiteral("certs"), QStringLiteral("keys")}));
}

void KeysTest::keyManagerProgram()
{
    StandInProgram kgpg;
    StandInProgram launcher("sleep 0.2\ntouch \"$STANDIN_DIR/ended\"");
    KgpgLauncher::setKgpgLauncherForTesting(launcher.path());
    KeysWidget widget;
    auto button = widget.findChild<QPushButton *>(QStringLiteral("keyManagerButton"));

    // Not installed: the user is told how to install it.
    ModalAnswerer answerer;
    answerer.press(QDialogButtonBox::Ok);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(answerer.seenTitles(), QStringList {QStringLiteral("The kgpg utility is not installed")});
    QCOMPARE(answerer.seenTexts(), QStringList {QStringLiteral("To open key management utility run in the console: apt-get install kgpg")});
    QVERIFY(!launcher.wasRun());

    // Installed: pkexec gets kgpg's absolute path, and the click returns once the program ended.
    KgpgLauncher::setKgpgPathForTesting(kgpg.path());
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(launcher.arguments(), (QStringList {kgpg.path(), QStringLiteral("-k")}));
    QVERIFY(QFile::exists(launcher.filePath(QStringLiteral("ended"))));
    QCOMPARE(answerer.answeredCount(), 1);
}

void KeysTest::createdKeyIsExported_data()
{
    QTest::addColumn<bool>("exportFails");
    QTest::newRow("exported") << false;
    QTest::newRow("export fails") << true;
}

void KeysTest::createdKeyIsExported()
{
    QFETCH(bool, exportFails);
    if (exportFails) {
        m_backend->script(Export, failing(2, QStringLiteral("cannot write")));
    }
    StandInProgram keywright(answering(Fingerprint));
    KeyManager::setProgramForTesting(keywright.path());
    KeysWidget widget;

    ModalAnswerer answerer;
    answerer.answer(createKeyNamed);
    QStringList callsBeforeBox;
    for (int box = 0; box < (exportFails ? 2 : 1); ++box) {
        answerer.answer([this, &callsBeforeBox](QWidget *window) {
            callsBeforeBox = m_backend->callNames();
            ModalAnswerer::pressButton(window, QDialogButtonBox::Ok);
        });
    }
    QTest::mouseClick(widget.findChild<QPushButton *>(QStringLiteral("createKeyButton")), Qt::LeftButton);

    const QString path = m_root->path() + QStringLiteral("/xattr_keys/") + Fingerprint + QStringLiteral(".gpg");
    QStringList texts {Generated + Fingerprint};
    if (exportFails) {
        texts.prepend(QStringLiteral("The key was created, but its public part could not be exported to %1.\ncannot write").arg(path));
    }
    QCOMPARE(answerer.seenTexts(), texts);
    // The key is exported before the user is told about it.
    QCOMPARE(callsBeforeBox, (QStringList {Access, Export}));
    QCOMPARE(m_backend->calls().last().arguments, (QVariantMap {{QStringLiteral("key"), Fingerprint}, {QStringLiteral("path"), path}}));
    QVERIFY(!QApplication::activeModalWidget());
}

// keywright runs as root under the real pkexec: the dialog says that it still runs, cannot be
// closed meanwhile, and the key that arrives late is exported as usual.
void KeysTest::slowKeyCreationCannotBeClosed()
{
    StandInProgram keywright("trap '' TERM\nwhile [ ! -e \"$STANDIN_DIR/answer\" ]; do sleep 0.02; done\n" + answering(Fingerprint));
    KeyManager::setProgramForTesting(keywright.path());
    KeyManager::setWaitForTesting(300);
    KeysWidget widget;

    ModalAnswerer answerer;
    answerer.answer(createKeyNamed);
    answerer.press(QDialogButtonBox::Ok);
    // Watches the creation dialog like a person: once it says that the program still runs,
    // tries to close it, then lets the program answer.
    QStringList shownTexts;
    QTimer watch;
    connect(&watch, &QTimer::timeout, [&] {
        auto dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        auto label = dialog ? dialog->findChild<QLabel *>(QStringLiteral("creationLabel")) : nullptr;
        if (!label || !label->isVisible() || shownTexts.contains(label->text())) {
            return;
        }
        shownTexts.append(label->text());
        if (shownTexts.size() == 2) {
            QTest::keyClick(dialog, Qt::Key_Escape);
            dialog->reject();
            QFile answer(keywright.filePath(QStringLiteral("answer")));
            answer.open(QIODevice::WriteOnly);
        }
    });
    watch.start(20);
    // Should the dialog never end, the program answers and the comparisons below fail.
    QTimer::singleShot(5000, [&keywright] {
        QFile answer(keywright.filePath(QStringLiteral("answer")));
        answer.open(QIODevice::WriteOnly);
    });
    QTest::mouseClick(widget.findChild<QPushButton *>(QStringLiteral("createKeyButton")), Qt::LeftButton);

    QCOMPARE(shownTexts, (QStringList {QStringLiteral("Creating the key. Enter the pass phrase in the window that asks for it."), StillRunning}));
    QCOMPARE(answerer.seenTexts(), QStringList {Generated + Fingerprint});
    QCOMPARE(m_backend->callNames(), (QStringList {Access, Export}));
}

void KeysTest::cancelledCreationRunsNothing()
{
    StandInProgram keywright(answering(Fingerprint));
    KeyManager::setProgramForTesting(keywright.path());
    KeysWidget widget;
    ModalAnswerer answerer;
    answerer.press(QDialogButtonBox::Cancel);
    QTest::mouseClick(widget.findChild<QPushButton *>(QStringLiteral("createKeyButton")), Qt::LeftButton);
    QCOMPARE(answerer.answeredCount(), 1);
    QVERIFY(m_backend->calls().isEmpty());
    QVERIFY(!keywright.wasRun());
}

QTEST_MAIN(KeysTest)

#include "keystest.moc"

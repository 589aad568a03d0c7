#include "keydialog.h"
#include "keymanager.h"
#include "keysproxyfilemodel.h"
#include "keyswidget.h"
#include "kgpglauncher.h"

#include "dialogdeadline.h"
#include "fakehelperbackend.h"
#include "helperscripts.h"
#include "modalanswerer.h"
#include "scratchfiles.h"
#include "stallprobe.h"
#include "standinprogram.h"

#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <memory>

namespace {
const QString Access = QStringLiteral("ru.orlis.kcm.securitysettings.access");
const QString KeysList = QStringLiteral("ru.orlis.kcm.digsig.keyslist");
const QString Export = QStringLiteral("ru.orlis.kcm.digsig.exportkey");
const QString Fingerprint = QStringLiteral("0123456789ABCDEF0123456789ABCDEF01234567");
const QString Generated = QStringLiteral("Key generated successfully.\nFingerprint: ");
const QString MissingKeys = QStringLiteral("Parameters map does not contains required keys");
// What keywright prints when it made a key.
const QByteArray PrintFingerprint = "printf '" + Fingerprint.toLatin1() + "\\n'";

using Parameters = QMap<QString, QString>;

// Writes the key manager's signals down in order, each as its name and its arguments.
void recordSignals(KeyManager *manager, QStringList *seen)
{
    const auto record
        = [seen](const QString &what, const QString &value = QString()) { seen->append(value.isNull() ? what : what + QLatin1Char(' ') + value); };
    QObject::connect(manager, &KeyManager::keyGenerationStarted, [=] { record(QStringLiteral("started")); });
    QObject::connect(manager, &KeyManager::keyGenerationEnded, [=](const QString &fingerprint) { record(QStringLiteral("ended"), fingerprint); });
    QObject::connect(manager, &KeyManager::keyGenerationError, [=](const QString &error) { record(QStringLiteral("error"), error); });
}
}

class KeysTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        m_deadline = std::make_unique<DialogDeadline>(8000);
        m_backend = std::make_unique<FakeHelperBackend>();
        m_root = std::make_unique<QTemporaryDir>();
        KeysWidget::setKeyDirectoryForTesting(m_root->path());
    }

    void cleanup()
    {
        QVERIFY2(!m_deadline->expired(), "a window was still open after the deadline");
        m_backend.reset();
        KeysWidget::setKeyDirectoryForTesting(QString());
        KgpgLauncher::setKgpgPathForTesting(QString());
        KgpgLauncher::setKgpgLauncherForTesting(QString());
        KeyManager::setProgramForTesting(QString());
        KeyManager::setWaitForTesting(-1);
    }

    void listExportAndImport()
    {
        m_backend->script(KeysList, replying({{QStringLiteral("Zeta"), QStringLiteral("F2")}, {QStringLiteral("Alpha"), QStringLiteral("F1")}}));
        KeyManager manager;
        QSignalSpy exported(&manager, &KeyManager::keyExported);
        QSignalSpy failed(&manager, &KeyManager::keyExportError);
        const QList<KeyInfo> keys = manager.keys();
        QCOMPARE(keys.first().userId() + keys.first().fingerPrint() + keys.last().userId() + keys.last().fingerPrint(), QStringLiteral("AlphaF1ZetaF2"));
        const QString path = QStringLiteral("/tmp/out/ABCD.gpg");
        manager.exportKey(QStringLiteral("ABCD"), path);
        m_backend->script(Export, failing(7, QStringLiteral("no such key")));
        QTest::ignoreMessage(QtDebugMsg, "export key error: no such key");
        manager.exportKey(QStringLiteral("ABCD"), path);
        QCOMPARE(exported, (QList<QVariantList> {{QStringLiteral("ABCD"), path}}));
        QCOMPARE(failed, (QList<QVariantList> {{QStringLiteral("ABCD"), path, QStringLiteral("no such key")}}));
        QCOMPARE(m_backend->callNames(), (QStringList {KeysList, Export, Export}));
        QVERIFY(m_backend->calls().first().arguments.isEmpty());
        QCOMPARE(m_backend->calls().last().arguments, (QVariantMap {{QStringLiteral("key"), QStringLiteral("ABCD")}, {QStringLiteral("path"), path}}));
        QCOMPARE(m_backend->calls().first().helperId + m_backend->calls().last().helperId, QStringLiteral("ru.orlis.kcm.digsigru.orlis.kcm.digsig"));

        // A failed listing is an empty one, and the helper's words are logged.
        m_backend->script(KeysList, failing(4, QStringLiteral("helper is gone")));
        QTest::ignoreMessage(QtDebugMsg, "helper is gone");
        QVERIFY(manager.keys().isEmpty());

        // The vendor keys are imported in the background, and a failure is only warned about.
        m_backend->script(KeysList, failing(3, QStringLiteral("keys not found")));
        manager.importZelmarkKeys();
        QCOMPARE(m_backend->jobs().last()->error(), 0);
        QCOMPARE(m_backend->calls().last().arguments, (QVariantMap {{QStringLiteral("import_zelmark_keys"), QVariant()}}));
        QTest::ignoreMessage(QtWarningMsg, "import zelmark keys error: keys not found");
        QTRY_VERIFY_WITH_TIMEOUT(!m_backend->jobs().last(), 2000);
    }

    void keyGeneration_data()
    {
        QTest::addColumn<QByteArray>("body"); // null: no program at all
        QTest::addColumn<Parameters>("parameters");
        QTest::addColumn<QStringList>("arguments"); // empty: not run
        QTest::addColumn<QStringList>("expected");

        const QString started = QStringLiteral("started");
        const QString failed = QStringLiteral("error ");
        // Like keywright: its error text for an empty name, else a fingerprint.
        const QByteArray keywrightLike = "if [ -z \"$3\" ]; then printf '" + MissingKeys.toLatin1() + "'; exit 1; fi\nprintf 0123456789ABCDEF";
        const QString email = QStringLiteral("Name-Email");
        const QString comment = QStringLiteral("Name-Comment");
        const Parameters all {{QStringLiteral("Name-Real"), QStringLiteral("Admin")}, {email, QStringLiteral("a@b.org")}, {comment, QStringLiteral("note")}};
        const QStringList allArguments {QStringLiteral("/usr/lib/kauth/libexec/keywright"), QStringLiteral("--genkey"), QStringLiteral("Admin"),
            QStringLiteral("a@b.org"), QStringLiteral("note")};

        QTest::newRow("Name-Email alone runs with an empty name")
            << keywrightLike << Parameters {{email, QStringLiteral("a@b.org")}}
            << allArguments.mid(0, 2) + QStringList {QString(), QStringLiteral("a@b.org"), QString()} << QStringList {started, failed + MissingKeys};
        QTest::newRow("Name-Comment alone runs") << keywrightLike << Parameters {{comment, QStringLiteral("c")}}
                                                 << allArguments.mid(0, 2) + QStringList {QString(), QString(), QStringLiteral("c")}
                                                 << QStringList {started, failed + MissingKeys};
        QTest::newRow("none of the keys") << keywrightLike << Parameters {{QStringLiteral("Name"), QStringLiteral("Admin")}} << QStringList()
                                          << QStringList {failed + MissingKeys};
        QTest::newRow("access refused: no signal at all") << keywrightLike << all << QStringList() << QStringList();
        QTest::newRow("cut at a NUL byte") << QByteArray("printf 'ABC\\000DEF'") << all << allArguments << QStringList {started, QStringLiteral("ended ABC")};
        QTest::newRow("exit 0 without a fingerprint") << QByteArray("printf '\\n'") << all << allArguments
                                                      << QStringList {started, QStringLiteral("error The key was generated but no fingerprint was reported")};
        QTest::newRow("crash") << QByteArray("printf ABCD\nkill -9 $$") << all << allArguments
                               << QStringList {started, QStringLiteral("error The key generation program ended abnormally.")};
        QTest::newRow("no program") << QByteArray() << all << QStringList()
                                    << QStringList {
                                           started, QStringLiteral("error The key generation program could not be started: execvp: No such file or directory")};
    }

    void keyGeneration()
    {
        QFETCH(QByteArray, body);
        QFETCH(Parameters, parameters);
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, expected);
        m_backend->script(Access, failing(expected.isEmpty() ? 1 : 0, QStringLiteral("authentication cancelled")));
        StandInProgram program(body);
        KeyManager::setProgramForTesting(body.isNull() ? program.missingPath() : program.path());
        QStringList seen;
        KeyManager manager;
        recordSignals(&manager, &seen);
        manager.keyGeneration(parameters);
        QTRY_VERIFY_WITH_TIMEOUT(!manager.isKeyGenerationRunning(), 5000);
        QCOMPARE(seen, expected);
        QCOMPARE(m_backend->callNames(), QStringList {Access});
        QCOMPARE(m_backend->calls().first().helperId, QStringLiteral("ru.orlis.kcm.securitysettings"));
        QCOMPARE(program.arguments(), arguments);
    }

    void typedCharacters_data()
    {
        QTest::addColumn<bool>("email"); // else the name
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("expected");
        QTest::newRow("Cyrillic name") << false << QStringLiteral("Иван Петров") << QStringLiteral("Иван Петров");
        QTest::newRow("no leading digit or space") << false << QStringLiteral("1 Admin") << QStringLiteral("Admin");
        QTest::newRow("hyphen, apostrophe, dot; no brackets") << false << QStringLiteral("Jean-Pierre O'Neil <J.>") << QStringLiteral("Jean-Pierre O'Neil J.");
        QTest::newRow("Cyrillic address") << true << QStringLiteral("почта@пример.рф") << QStringLiteral("почта@пример.рф");
        QTest::newRow("dots and hyphens, several labels")
            << true << QStringLiteral("ivan.petrov@mail.example-corp.ru") << QStringLiteral("ivan.petrov@mail.example-corp.ru");
        QTest::newRow("one @, not leading") << true << QStringLiteral("@a@b@c.org") << QStringLiteral("a@bc.org");
    }

    void typedCharacters()
    {
        QFETCH(bool, email);
        QFETCH(QString, keys);
        QFETCH(QString, expected);
        KeyManager manager;
        KeyDialog dialog(&manager);
        auto edit = dialog.findChild<QLineEdit *>(email ? QStringLiteral("emailLineEdit") : QStringLiteral("nameLineEdit"));
        // QTest::keyClicks knows only Latin-1 keys; every letter goes in as a key event carrying its text.
        for (const QChar c : keys) {
            QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
        }
        QCOMPARE(edit->text(), expected);
    }

    void keysTab()
    {
        const QString root = m_root->path();
        Scratch::putFiles(root,
            {QStringLiteral("stray.gpg"), QStringLiteral("keys/vendor.gpg"), QStringLiteral("keys/.gpg"), QStringLiteral("keys/x.gpg.bak"),
                QStringLiteral("keys/readme.txt"), QStringLiteral("keys/archive/old.gpg"), QStringLiteral("keys/archive/old.txt"),
                QStringLiteral("xattr_keys/.keep"), QStringLiteral("my_keys/.keep"), QStringLiteral("other/.keep")},
            false);
        StandInProgram launcher("sleep 0.2\ntouch \"$STANDIN_DIR/ended\"");
        KgpgLauncher::setKgpgLauncherForTesting(launcher.path());
        KgpgLauncher::setKgpgPathForTesting(launcher.path());
        KeysWidget widget;
        // pkexec gets kgpg's absolute path, and the click returns when it ended.
        QTest::mouseClick(widget.findChild<QPushButton *>(QStringLiteral("keyManagerButton")), Qt::LeftButton);
        QCOMPARE(launcher.arguments(), (QStringList {launcher.path(), QStringLiteral("-k")}));
        QVERIFY(QFile::exists(launcher.filePath(QStringLiteral("ended"))));
        auto view = widget.findChild<QTreeView *>();
        auto proxy = qobject_cast<KeysProxyFileModel *>(view->model());
        const auto source = qobject_cast<QFileSystemModel *>(proxy->sourceModel());
        QCOMPARE(source->filePath(proxy->mapToSource(view->rootIndex())), root);
        QCOMPARE(proxy->rootIndex(), source->index(root));
        for (const QString &directory : QStringList {root, root + QStringLiteral("/keys"), root + QStringLiteral("/keys/archive")}) {
            QVERIFY2(Scratch::loadDirectory(source, directory), qPrintable(directory));
        }
        // The root shows only directories named with "keys"; below, directories and "?*.gpg" files.
        QCOMPARE(Scratch::shownNames(proxy, root), (QStringList {QStringLiteral("keys"), QStringLiteral("my_keys"), QStringLiteral("xattr_keys")}));
        QCOMPARE(Scratch::shownNames(proxy, root + QStringLiteral("/keys")),
            (QStringList {QStringLiteral("archive"), QStringLiteral("vendor.gpg"), QStringLiteral("x.gpg.bak")}));
        QCOMPARE(Scratch::shownNames(proxy, root + QStringLiteral("/keys/archive")), QStringList {QStringLiteral("old.gpg")});
        // More patterns extend a directory's lists and apply at once.
        proxy->setDirFilters({QRegExp(QStringLiteral("other"))}, proxy->rootIndex());
        proxy->setFileNameFilters({QRegExp(QStringLiteral("stray"))}, proxy->rootIndex());
        QCOMPARE(Scratch::shownNames(proxy, root),
            (QStringList {
                QStringLiteral("keys"), QStringLiteral("my_keys"), QStringLiteral("other"), QStringLiteral("stray.gpg"), QStringLiteral("xattr_keys")}));
    }

    void createKey_data()
    {
        QTest::addColumn<QString>("name"); // empty: the dialog is cancelled
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("refused");
        QTest::addColumn<bool>("exportFails");
        QTest::addColumn<QStringList>("boxTexts");

        const QString admin = QStringLiteral("Administrator");
        const QString created = Generated + Fingerprint;
        QTest::newRow("export fails") << admin << PrintFingerprint << false << true
                                      << QStringList {
                                             QStringLiteral("The key was created, but its public part could not be exported to @.\ncannot write"), created};
        // keywright under the real pkexec may take long, cannot be signalled, and its late key counts.
        QTest::newRow("slow program") << admin
                                      << "trap '' TERM\nfor i in $(seq 300); do [ -e \"$STANDIN_DIR/answer\" ] && break; sleep 0.02; done\n" + PrintFingerprint
                                      << false << false << QStringList {created};
        QTest::newRow("four letters are too few") << QStringLiteral("Adam") << PrintFingerprint << false << false
                                                  << QStringList {QStringLiteral("Name shouldn't be shorter than 5 characters.")};
        QTest::newRow("program fails") << QStringLiteral("Admin") << QByteArray("sleep 0.1; printf 'Bad passphrase'; printf noise >&2; exit 1") << false
                                       << false << QStringList {QStringLiteral("Key generation error:\nBad passphrase")};
        QTest::newRow("access refused") << admin << PrintFingerprint << true << false << QStringList();
        QTest::newRow("cancelled") << QString() << PrintFingerprint << false << false << QStringList();
    }

    void createKey()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, body);
        QFETCH(bool, refused);
        QFETCH(bool, exportFails);
        QFETCH(QStringList, boxTexts);
        const QString path = m_root->path() + QStringLiteral("/xattr_keys/") + Fingerprint + QStringLiteral(".gpg");
        m_backend->script(Access, failing(refused ? 1 : 0, QStringLiteral("not authorized")));
        m_backend->script(Export, failing(exportFails ? 2 : 0, QStringLiteral("cannot write")));
        StandInProgram keywright(body);
        KeyManager::setProgramForTesting(keywright.path());
        KeyManager::setWaitForTesting(300);
        KeysWidget widget;

        // Fills the form and presses OK after this poll, so that the boxes that follow get answered.
        ModalAnswerer answerer;
        QPointer<QWidget> dialog;
        answerer.answer([&](QWidget *window) {
            dialog = window;
            QTest::keyClicks(window->findChild<QLineEdit *>(QStringLiteral("nameLineEdit")), name);
            QTest::keyClicks(window->findChild<QLineEdit *>(QStringLiteral("emailLineEdit")), QStringLiteral("admin@example.org"));
            for (const auto button : {QDialogButtonBox::Ok, QDialogButtonBox::Cancel}) {
                if (button == QDialogButtonBox::Ok ? !name.isEmpty() : name.size() < 5 || refused) {
                    QMetaObject::invokeMethod(window->findChild<QDialogButtonBox *>()->button(button), "click", Qt::QueuedConnection);
                }
            }
        });
        // Boxes are confirmed, a form left open after one is cancelled.
        int boxesOverUsableForm = 0;
        for (int window = 0; window <= boxTexts.size(); ++window) {
            answerer.answer([&](QWidget *window) {
                boxesOverUsableForm += dialog && dialog->isEnabled() && window != dialog;
                ModalAnswerer::pressButton(window, window == dialog ? QDialogButtonBox::Cancel : QDialogButtonBox::Ok);
            });
        }
        // Once told that the program still runs, tries to close, then lets the program answer; no stall.
        QStringList shownLabels;
        std::unique_ptr<StallProbe> probe;
        qint64 longestStall = 0;
        QTimer watch;
        connect(&watch, &QTimer::timeout, [&] {
            auto label = dialog ? dialog->findChild<QLabel *>(QStringLiteral("creationLabel")) : nullptr;
            if (!label || !label->isVisible() || shownLabels.contains(label->text())) {
                return;
            }
            shownLabels.append(label->text());
            if (shownLabels.size() == 1) {
                probe = std::make_unique<StallProbe>();
            } else {
                longestStall = probe->longestStallMs();
                QTest::keyClick(dialog, Qt::Key_Escape);
                qobject_cast<QDialog *>(dialog)->reject();
                QFile(keywright.filePath(QStringLiteral("answer"))).open(QIODevice::WriteOnly);
            }
        });
        watch.start(20);
        QTest::mouseClick(widget.findChild<QPushButton *>(QStringLiteral("createKeyButton")), Qt::LeftButton);

        const bool run = name.size() >= 5 && !refused;
        const bool made = boxTexts.join(QString()).contains(Generated);
        // A slow program is told apart by the answer it waits for.
        const QStringList labels {QStringLiteral("Creating the key. Enter the pass phrase in the window that asks for it."),
            QStringLiteral("The key generation program is still running. Waiting for it to finish…")};
        QCOMPARE(shownLabels, labels.mid(0, run ? (body.contains("answer") ? 2 : 1) : 0));
        QCOMPARE(answerer.seenTexts(), boxTexts.replaceInStrings(QStringLiteral("@"), path));
        QCOMPARE(boxesOverUsableForm, name.size() == 4 ? 1 : 0);
        QVERIFY2(longestStall < 100, qPrintable(QString::number(longestStall)));
        const QStringList arguments {
            QStringLiteral("/usr/lib/kauth/libexec/keywright"), QStringLiteral("--genkey"), name, QStringLiteral("admin@example.org"), QString()};
        QCOMPARE(keywright.arguments(), run ? arguments : QStringList());
        QCOMPARE(m_backend->callNames().count(Access), name.size() >= 5 ? 1 : 0);
        const auto exports = m_backend->callsWith(Export, QStringLiteral("path"));
        QCOMPARE(exports.size(), made ? 1 : 0);
        QCOMPARE(exports.value(0).arguments, made ? (QVariantMap {{QStringLiteral("key"), Fingerprint}, {QStringLiteral("path"), path}}) : QVariantMap());
    }

private:
    std::unique_ptr<DialogDeadline> m_deadline;
    std::unique_ptr<FakeHelperBackend> m_backend;
    std::unique_ptr<QTemporaryDir> m_root;
};

QTEST_MAIN(KeysTest)

#include "keystest.moc"

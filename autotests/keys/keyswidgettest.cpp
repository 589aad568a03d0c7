#include "keyswidget.h"
#include "keymanager.h"
#include "keysproxyfilemodel.h"
#include "kgpglauncher.h"

#include "directorylisting.h"
#include "fakehelperbackend.h"
#include "messagecatcher.h"
#include "modalanswerer.h"
#include "stallprobe.h"
#include "standinprogram.h"

#include <QDialog>
#include <QFileSystemModel>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <memory>

namespace {
const QString AccessAction = QStringLiteral("ru.orlis.kcm.securitysettings.access");
const QString ExportAction = QStringLiteral("ru.orlis.kcm.digsig.exportkey");
const QString Fingerprint = QStringLiteral("0123456789ABCDEF0123456789ABCDEF01234567");

QPushButton *pushButton(const KeysWidget &widget, const char *name)
{
    return widget.findChild<QPushButton *>(QLatin1String(name));
}

KeysProxyFileModel *proxyOf(const KeysWidget &widget)
{
    return qobject_cast<KeysProxyFileModel *>(widget.findChild<QTreeView *>()->model());
}

// Answers the key creation dialog: types a name and presses OK once the answerer's poll is
// over, so that the box that follows can be answered as well.
void createKeyNamed(QWidget *window, const QString &name)
{
    auto dialog = qobject_cast<QDialog *>(window);
    QTest::keyClicks(dialog->findChild<QLineEdit *>(QStringLiteral("nameLineEdit")), name);
    auto buttons = dialog->findChild<QDialogButtonBox *>(QStringLiteral("dialogButtonBox"));
    QMetaObject::invokeMethod(buttons->button(QDialogButtonBox::Ok), "click", Qt::QueuedConnection);
}
}

class KeysWidgetTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void form();
    void showsKeyDirectories();
    void emptyWhenKeyDirectoryMissing();
    void kgpgNotInstalled();
    void kgpgStartedAndAwaited();
    void createdKeyIsExported();
    void failedExportIsShown();
    void slowKeyProgramIsAwaitedAndExported();
    void cancelledCreationExportsNothing();

private:
    std::unique_ptr<QTemporaryDir> m_root;
};

void KeysWidgetTest::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    KeysWidget::setKeyDirectoryForTesting(m_root->path());
    KgpgLauncher::setKgpgPathForTesting(m_root->filePath(QStringLiteral("no-kgpg")));
    KgpgLauncher::setKgpgLauncherForTesting(m_root->filePath(QStringLiteral("no-launcher")));
}

void KeysWidgetTest::cleanup()
{
    KeysWidget::setKeyDirectoryForTesting(QString());
    KgpgLauncher::setKgpgPathForTesting(QString());
    KgpgLauncher::setKgpgLauncherForTesting(QString());
    KeyManager::setProgramForTesting(QString());
    KeyManager::setWaitForTesting(-1);
}

void KeysWidgetTest::form()
{
    const KeysWidget widget;
    QCOMPARE(widget.windowTitle(), QStringLiteral("Form"));
    auto group = widget.findChild<QGroupBox *>();
    QVERIFY(group);
    QVERIFY(group->title().isEmpty());
    QCOMPARE(int(group->alignment()), 0x84);
    QVERIFY(!group->isFlat());
    QVERIFY(!group->isCheckable());
    QCOMPARE(pushButton(widget, "createKeyButton")->text(), QStringLiteral("Create new key"));
    QCOMPARE(pushButton(widget, "keyManagerButton")->text(), QStringLiteral("Open key management utility"));

    auto view = widget.findChild<QTreeView *>();
    QVERIFY(view);
    QCOMPARE(view->autoExpandDelay(), -1);
    QCOMPARE(view->header()->sectionResizeMode(0), QHeaderView::ResizeToContents);
    KeysProxyFileModel *proxy = proxyOf(widget);
    QVERIFY(proxy);
    QCOMPARE(proxy->parent(), &widget);
    const auto source = qobject_cast<QFileSystemModel *>(proxy->sourceModel());
    QCOMPARE(source->filePath(proxy->mapToSource(view->rootIndex())), m_root->path());
}

void KeysWidgetTest::showsKeyDirectories()
{
    QVERIFY(DirectoryListing::create(m_root->path(),
        {QStringLiteral("digsig_initramfs.conf"), QStringLiteral("stray.gpg"), QStringLiteral("keys/"), QStringLiteral("keys/vendor.gpg"),
            QStringLiteral("keys/.gpg"), QStringLiteral("keys/x.gpg.bak"), QStringLiteral("keys/readme.txt"), QStringLiteral("keys/archive/"),
            QStringLiteral("keys/archive/old.gpg"), QStringLiteral("keys/archive/old.txt"), QStringLiteral("xattr_keys/"),
            QStringLiteral("xattr_keys/ABCD.gpg"), QStringLiteral("my_keys/"), QStringLiteral("my_keys/mine.gpg"), QStringLiteral("other/"),
            QStringLiteral("other/o.gpg")}));
    const KeysWidget widget;
    KeysProxyFileModel *proxy = proxyOf(widget);
    const auto source = qobject_cast<QFileSystemModel *>(proxy->sourceModel());
    const auto path = [this](const char *relative) { return m_root->filePath(QLatin1String(relative)); };
    for (const char *directory : {"", "keys", "keys/archive", "xattr_keys", "my_keys"}) {
        QVERIFY2(DirectoryListing::waitUntilListed(source, path(directory)), directory);
    }

    // No file directly in the root, only directories whose names contain "keys".
    QCOMPARE(
        DirectoryListing::shownNames(proxy, m_root->path()), (QStringList {QStringLiteral("keys"), QStringLiteral("my_keys"), QStringLiteral("xattr_keys")}));
    // ".gpg" alone has nothing before the dot (and is a hidden file besides); a backup copy
    // still contains the pattern; sub-directories of key directories are all shown.
    QCOMPARE(DirectoryListing::shownNames(proxy, path("keys")),
        (QStringList {QStringLiteral("archive"), QStringLiteral("vendor.gpg"), QStringLiteral("x.gpg.bak")}));
    QCOMPARE(DirectoryListing::shownNames(proxy, path("keys/archive")), QStringList {QStringLiteral("old.gpg")});
    QCOMPARE(DirectoryListing::shownNames(proxy, path("xattr_keys")), QStringList {QStringLiteral("ABCD.gpg")});
    QCOMPARE(DirectoryListing::shownNames(proxy, path("my_keys")), QStringList {QStringLiteral("mine.gpg")});
}

void KeysWidgetTest::emptyWhenKeyDirectoryMissing()
{
    KeysWidget::setKeyDirectoryForTesting(m_root->filePath(QStringLiteral("missing")));
    const KeysWidget widget;
    auto view = widget.findChild<QTreeView *>();
    // The filters of the missing root fall to the top of the file system, where no
    // directory is named after keys.
    QCOMPARE(view->model()->rowCount(view->rootIndex()), 0);
}

void KeysWidgetTest::kgpgNotInstalled()
{
    StandInProgram launcher;
    KgpgLauncher::setKgpgLauncherForTesting(launcher.path());
    KeysWidget widget;

    ModalAnswerer answerer;
    answerer.press(QDialogButtonBox::Ok);
    QTest::mouseClick(pushButton(widget, "keyManagerButton"), Qt::LeftButton);

    QCOMPARE(answerer.answeredCount(), 1);
    QCOMPARE(answerer.seenTitles(), QStringList {QStringLiteral("The kgpg utility is not installed")});
    QCOMPARE(answerer.seenTexts(), QStringList {QStringLiteral("To open key management utility run in the console: apt-get install kgpg")});
    QVERIFY(!launcher.wasRun());
}

void KeysWidgetTest::kgpgStartedAndAwaited()
{
    StandInProgram kgpg;
    StandInProgram launcher("sleep 0.2\ntouch \"$STANDIN_DIR/ended\"");
    KgpgLauncher::setKgpgPathForTesting(kgpg.path());
    KgpgLauncher::setKgpgLauncherForTesting(launcher.path());
    KeysWidget widget;

    ModalAnswerer answerer;
    answerer.press(QDialogButtonBox::Ok);
    QTest::mouseClick(pushButton(widget, "keyManagerButton"), Qt::LeftButton);

    // pkexec gets kgpg's absolute path, never a name to look up on the caller's PATH.
    QCOMPARE(launcher.arguments(), (QStringList {kgpg.path(), QStringLiteral("-k")}));
    // The click returns only after the program has ended.
    QVERIFY(QFile::exists(launcher.filePath(QStringLiteral("ended"))));
    QCOMPARE(answerer.answeredCount(), 0);
    QVERIFY(!kgpg.wasRun());
}

void KeysWidgetTest::createdKeyIsExported()
{
    FakeHelperBackend backend;
    StandInProgram keywright("printf '" + Fingerprint.toLatin1() + "'");
    KeyManager::setProgramForTesting(keywright.path());
    KeysWidget widget;

    ModalAnswerer answerer;
    answerer.answer([](QWidget *dialog) { createKeyNamed(dialog, QStringLiteral("Administrator")); });
    QStringList callsBeforeBox;
    answerer.answer([&backend, &callsBeforeBox](QWidget *box) {
        callsBeforeBox = backend.callNames();
        ModalAnswerer::pressButton(box, QDialogButtonBox::Ok);
    });
    QTest::mouseClick(pushButton(widget, "createKeyButton"), Qt::LeftButton);

    QCOMPARE(answerer.answeredCount(), 2);
    QCOMPARE(answerer.seenTexts(), QStringList {QStringLiteral("Key generated successfully.\nFingerprint: ") + Fingerprint});
    // The key is exported before the user is told about it.
    QCOMPARE(callsBeforeBox, (QStringList {AccessAction, ExportAction}));
    QCOMPARE(backend.callNames(), (QStringList {AccessAction, ExportAction}));
    const FakeHelperBackend::Call exportCall = backend.calls().last();
    QCOMPARE(exportCall.helperId, QStringLiteral("ru.orlis.kcm.digsig"));
    QCOMPARE(exportCall.arguments,
        (QVariantMap {{QStringLiteral("key"), Fingerprint},
            {QStringLiteral("path"), QString(m_root->path() + QStringLiteral("/xattr_keys/") + Fingerprint + QStringLiteral(".gpg"))}}));
    QVERIFY(!QApplication::activeModalWidget());
}

void KeysWidgetTest::failedExportIsShown()
{
    FakeHelperBackend backend;
    HelperScript failed;
    failed.error = 2;
    failed.errorText = QStringLiteral("cannot write");
    backend.script(ExportAction, failed);
    StandInProgram keywright("printf '" + Fingerprint.toLatin1() + "'");
    KeyManager::setProgramForTesting(keywright.path());
    KeysWidget widget;
    MessageCatcher catcher;

    ModalAnswerer answerer;
    answerer.answer([](QWidget *dialog) { createKeyNamed(dialog, QStringLiteral("Administrator")); });
    answerer.press(QDialogButtonBox::Ok);
    answerer.press(QDialogButtonBox::Ok);
    QTest::mouseClick(pushButton(widget, "createKeyButton"), Qt::LeftButton);

    const QString path = m_root->path() + QStringLiteral("/xattr_keys/") + Fingerprint + QStringLiteral(".gpg");
    QCOMPARE(answerer.seenTexts(),
        (QStringList {QStringLiteral("The key was created, but its public part could not be exported to %1.\ncannot write").arg(path),
            QStringLiteral("Key generated successfully.\nFingerprint: ") + Fingerprint}));
    QVERIFY(catcher.debugLines().contains(QStringLiteral("export key error: cannot write")));
}

// keywright runs as root under the real pkexec: the dialog says that it still runs, cannot be
// closed meanwhile, and the key that arrives late is exported as usual.
void KeysWidgetTest::slowKeyProgramIsAwaitedAndExported()
{
    FakeHelperBackend backend;
    StandInProgram keywright("trap '' TERM\nwhile [ ! -e \"$STANDIN_DIR/answer\" ]; do sleep 0.02; done\nprintf '" + Fingerprint.toLatin1() + "'");
    KeyManager::setProgramForTesting(keywright.path());
    KeyManager::setWaitForTesting(300);
    KeysWidget widget;
    // Probes the wait for the program itself: opening dialogs may take longer under the
    // sanitizers, and is not what this guards.
    std::unique_ptr<StallProbe> probe;
    qint64 longestStallWhileWaiting = -1;

    ModalAnswerer answerer;
    answerer.answer([](QWidget *dialog) { createKeyNamed(dialog, QStringLiteral("Administrator")); });
    // Watches the creation dialog like a person; once it says that the program still runs,
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
        if (shownTexts.size() == 1) {
            probe = std::make_unique<StallProbe>();
        }
        if (shownTexts.size() == 2) {
            longestStallWhileWaiting = probe->longestStallMs();
            QTest::keyClick(dialog, Qt::Key_Escape);
            dialog->reject();
            QFile answer(keywright.filePath(QStringLiteral("answer")));
            answer.open(QIODevice::WriteOnly);
        }
    });
    watch.start(20);
    answerer.press(QDialogButtonBox::Ok);
    QTest::mouseClick(pushButton(widget, "createKeyButton"), Qt::LeftButton);

    QCOMPARE(shownTexts,
        (QStringList {QStringLiteral("Creating the key. Enter the pass phrase in the window that asks for it."),
            QStringLiteral("The key generation program is still running. Waiting for it to finish…")}));
    QCOMPARE(answerer.seenTexts(), QStringList {QStringLiteral("Key generated successfully.\nFingerprint: ") + Fingerprint});
    QCOMPARE(backend.callNames(), (QStringList {AccessAction, ExportAction}));
    QVERIFY2(longestStallWhileWaiting >= 0 && longestStallWhileWaiting < 100, qPrintable(QString::number(longestStallWhileWaiting)));
}

void KeysWidgetTest::cancelledCreationExportsNothing()
{
    FakeHelperBackend backend;
    StandInProgram keywright("printf F00D");
    KeyManager::setProgramForTesting(keywright.path());
    KeysWidget widget;

    ModalAnswerer answerer;
    answerer.press(QDialogButtonBox::Cancel);
    QTest::mouseClick(pushButton(widget, "createKeyButton"), Qt::LeftButton);

    QCOMPARE(answerer.answeredCount(), 1);
    QVERIFY(backend.calls().isEmpty());
    QVERIFY(!keywright.wasRun());
}

QTEST_MAIN(KeysWidgetTest)

#include "keyswidgettest.moc"

#include "signingwidget.h"
#include "digsigcontrolpanel.h"
#include "digsigsettingsdata.h"
#include "fakehelperbackend.h"
#include "faketools.h"
#include "filteredtreeproxymodel.h"
#include "formcheck.h"
#include "helperactivity.h"
#include "helpercall.h"
#include "keyswidget.h"
#include "modalanswerer.h"
#include "signfilemodel.h"
#include "tempconfig.h"

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <functional>
#include <memory>

namespace {
const QString Access = QStringLiteral("ru.orlis.kcm.securitysettings.access");
const QString KeysList = QStringLiteral("ru.orlis.kcm.digsig.keyslist");
const QString SetupSigning = QStringLiteral("ru.orlis.kcm.digsig.setupsigning");
const QString Logging = QStringLiteral("ru.orlis.kcm.digsig.logging");
const QString Change = QStringLiteral("ru.orlis.kcm.digsig.change");
const QString FirstKey = QStringLiteral("1111111111111111111111111111111111111111");
const QString LastKey = QStringLiteral("2222222222222222222222222222222222222222");
const QString UnsafeTitle = QStringLiteral("Selection confirmation");
const QString BootTitle = QStringLiteral("Add files for verification");

QTreeView *treeView(const SigningWidget &widget)
{
    return widget.findChild<QTreeView *>(QStringLiteral("filesTreeView"));
}

FilteredTreeProxyModel *proxyOf(const SigningWidget &widget)
{
    return qobject_cast<FilteredTreeProxyModel *>(treeView(widget)->model());
}

SignFileModel *modelOf(const SigningWidget &widget)
{
    return qobject_cast<SignFileModel *>(proxyOf(widget)->sourceModel());
}

QCheckBox *elfBox(const SigningWidget &widget)
{
    return widget.findChild<QCheckBox *>(QStringLiteral("elfCheckBox"));
}

QCheckBox *xattrBox(const SigningWidget &widget)
{
    return widget.findChild<QCheckBox *>(QStringLiteral("xattrCheckBox"));
}

QPushButton *signButton(const SigningWidget &widget)
{
    return widget.findChild<QPushButton *>(QStringLiteral("signPushButton"));
}

QModelIndex proxyIndexOf(const SigningWidget &widget, const QString &path)
{
    return proxyOf(widget)->mapFromSource(modelOf(widget)->index(path));
}

// Ticks an entry the way the view does when its check box is clicked.
bool tick(const SigningWidget &widget, const QString &path)
{
    const QModelIndex index = proxyIndexOf(widget, path);
    return index.isValid() && proxyOf(widget)->setData(index, Qt::Checked, Qt::CheckStateRole);
}

void chooseMode(const SigningWidget &widget, int mode)
{
    if (elfBox(widget)->isChecked() != (mode != 1)) {
        elfBox(widget)->click();
    }
    if (xattrBox(widget)->isChecked() != (mode != 0)) {
        xattrBox(widget)->click();
    }
}

// Whether the status model runs in signing mode: it then answers nothing for the signature
// columns (outside it, an unknown status answers an empty icon and queues a check).
bool inSigningMode(const SigningWidget &widget, const QString &file)
{
    SignFileModel *model = modelOf(widget);
    return !model->data(model->elfIndex(model->index(file)), Qt::DecorationRole).isValid();
}

QVariantMap fileFinished(const QString &path, int value)
{
    return {{QStringLiteral("file_finished"), QVariantMap {{path, value}}}};
}

// A small tree to sign: two ELF programs and a text file, in a directory that has a
// sibling, so that ticking the tree leaves its parent partly ticked.
class SignTree
{
public:
    SignTree()
    {
        QDir(m_dir.path()).mkpath(QStringLiteral("tree"));
        QDir(m_dir.path()).mkpath(QStringLiteral("sibling"));
        QFile::copy(QStringLiteral("/bin/true"), path(QStringLiteral("prog")));
        QFile::copy(QStringLiteral("/bin/true"), path(QStringLiteral("tool")));
        QFile text(path(QStringLiteral("notes.txt")));
        if (text.open(QIODevice::WriteOnly)) {
            text.write("text\n");
        }
    }
    QString root() const { return m_dir.filePath(QStringLiteral("tree")); }
    QString path(const QString &name) const { return root() + QLatin1Char('/') + name; }
    // Makes the entries rows of the model, as an opened directory in the view would.
    void reveal(const SigningWidget &widget) const
    {
        SignFileModel *model = modelOf(widget);
        model->index(m_dir.filePath(QStringLiteral("sibling")));
        for (const QString &name : {QStringLiteral("prog"), QStringLiteral("tool"), QStringLiteral("notes.txt")}) {
            model->index(path(name));
        }
    }

private:
    QTemporaryDir m_dir;
};

// What a person does in the signing dialog: wait for the run to end, then press OK; or
// press Cancel as soon as the first file is reported.
void finishSigningDialog(ModalAnswerer &answerer, bool *sawSigningMode, const SigningWidget *widget, const QString &file)
{
    answerer.answerWhen(
        [](QWidget *window) { return window->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"))->button(QDialogButtonBox::Ok)->isEnabled(); },
        [=](QWidget *window) {
            if (sawSigningMode) {
                *sawSigningMode = inSigningMode(*widget, file);
            }
            window->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"))->button(QDialogButtonBox::Ok)->click();
        });
}

void cancelSigningDialog(ModalAnswerer &answerer, const std::function<void()> &duringRun = {})
{
    answerer.answerWhen(
        [](QWidget *window) {
            return window->findChild<QPlainTextEdit *>(QStringLiteral("logPlainTextEdit"))->toPlainText().contains(QLatin1String("signed successfully"));
        },
        [=](QWidget *window) {
            if (duringRun) {
                duringRun();
            }
            window->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"))->button(QDialogButtonBox::Cancel)->click();
        });
}

ModalAnswerer::Action acceptKeyDialog(bool saveLog, QString *seenName = nullptr)
{
    return [=](QWidget *window) {
        if (seenName) {
            *seenName = window->objectName();
        }
        if (saveLog) {
            window->findChild<QCheckBox *>(QStringLiteral("_saveLogCheckBox"))->click();
        }
        ModalAnswerer::pressButton(window, QDialogButtonBox::Ok);
    };
}
}

class SigningWidgetTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void form();
    void signRule_data();
    void signRule();
    void elfOnlyView();
    void unsafeRule_data();
    void unsafeRule();
    void unsafeAskedOnce();
    void unsafeDeclinedEndsFlow();
    void elfOnlyNeverAsksAboutSystemDirectories();
    void keyDialogCancelledEndsFlow();
    void completedRun_data();
    void completedRun();
    void failedRunLeavesSigningMode();
    void cancelCountsAsCompleted();
    void backgroundUpdateFailureAndWarnings();
    void longActionsHoldSignAndKeyCreation();
    void rebuild();

private:
    void scriptKeys(FakeHelperBackend &backend);

    std::unique_ptr<FakeTools> m_tools;
    TempConfig m_config;
    DigSigControlPanel m_panel;
};

void SigningWidgetTest::initTestCase()
{
    // The status model checks the files it shows with "pkexec bsign"; stand-ins answer.
    m_tools = std::make_unique<FakeTools>();
    QVERIFY(m_tools->isValid());
    QVERIFY(m_config.isValid());
    DigSigSettingsData::setConfigurationDirectory(m_config.path());
}

void SigningWidgetTest::init()
{
    m_config.writeSettings(TempConfig::settings(1, 1, 2));
}

void SigningWidgetTest::cleanupTestCase()
{
    m_tools.reset();
}

void SigningWidgetTest::scriptKeys(FakeHelperBackend &backend)
{
    HelperScript keys;
    keys.reply = {{QStringLiteral("A first"), FirstKey}, {QStringLiteral("B last"), LastKey}};
    backend.script(KeysList, keys);
}

void SigningWidgetTest::form()
{
    SigningWidget widget(&m_panel);
    QVERIFY(formMatches(widget,
        {{{}, "objectName", QStringLiteral("SigningWidget")}, {{}, "size", QSize(558, 449)}, {{}, "windowTitle", QStringLiteral("Form")},
            {QStringLiteral("groupBox"), "title", QString()}, {QStringLiteral("elfCheckBox"), "text", QStringLiteral("Sign executable files")},
            {QStringLiteral("xattrCheckBox"), "text", QStringLiteral("Sign files in extended attributes")}, {QStringLiteral("elfCheckBox"), "checked", false},
            {QStringLiteral("xattrCheckBox"), "checked", false}, {QStringLiteral("signPushButton"), "text", QStringLiteral("Sign")},
            {QStringLiteral("signPushButton"), "enabled", false},
            {QStringLiteral("signPushButton"), "toolTip", QStringLiteral("For sing select required files and at least one signature mode")}}));
    auto *group = widget.findChild<QGroupBox *>(QStringLiteral("groupBox"));
    for (QWidget *child : {static_cast<QWidget *>(elfBox(widget)), static_cast<QWidget *>(signButton(widget)), static_cast<QWidget *>(treeView(widget))}) {
        QCOMPARE(child->parentWidget(), group);
    }

    // The chain is two models deep: the status model under one filtering, checkable proxy.
    QVERIFY(proxyOf(widget));
    QVERIFY(modelOf(widget));
    QCOMPARE(modelOf(widget)->rootPath(), QStringLiteral("/"));
    QCOMPARE(modelOf(widget)->parent(), &widget);
    QCOMPARE(proxyOf(widget)->parent(), &widget);
    const QModelIndex top = proxyOf(widget)->index(0, 0);
    QCOMPARE(modelOf(widget)->filePath(proxyOf(widget)->mapToSource(top)), QStringLiteral("/"));
    QVERIFY(treeView(widget)->isExpanded(top));
    QVERIFY(!treeView(widget)->isSortingEnabled());

    QHeaderView *header = treeView(widget)->header();
    QCOMPARE(header->count(), 6);
    QCOMPARE(header->logicalIndex(0), 0);
    QCOMPARE(header->logicalIndex(1), 4);
    QCOMPARE(header->logicalIndex(2), 5);
    QCOMPARE(header->logicalIndex(3), 1);
    for (int section = 0; section < header->count(); ++section) {
        QCOMPARE(header->sectionResizeMode(section), QHeaderView::ResizeToContents);
    }
}

void SigningWidgetTest::signRule_data()
{
    QTest::addColumn<bool>("elf");
    QTest::addColumn<bool>("xattr");
    QTest::addColumn<bool>("ticked");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("nothing") << false << false << false << false;
    QTest::newRow("ticks, no mode") << false << false << true << false;
    QTest::newRow("elf, no ticks") << true << false << false << false;
    QTest::newRow("xattr, no ticks") << false << true << false << false;
    QTest::newRow("elf and ticks") << true << false << true << true;
    QTest::newRow("xattr and ticks") << false << true << true << true;
    QTest::newRow("both and ticks") << true << true << true << true;
}

void SigningWidgetTest::signRule()
{
    QFETCH(bool, elf);
    QFETCH(bool, xattr);
    QFETCH(bool, ticked);
    QFETCH(bool, enabled);
    SignTree tree;
    SigningWidget widget(&m_panel);
    if (ticked) {
        tree.reveal(widget);
        QVERIFY(tick(widget, tree.root()));
    }
    if (elf) {
        elfBox(widget)->click();
    }
    if (xattr) {
        xattrBox(widget)->click();
    }
    QCOMPARE(signButton(widget)->isEnabled(), enabled);
    // Unticking makes the button follow again.
    if (ticked) {
        proxyOf(widget)->setData(proxyIndexOf(widget, tree.root()), Qt::Unchecked, Qt::CheckStateRole);
        QVERIFY(!signButton(widget)->isEnabled());
    }
}

void SigningWidgetTest::elfOnlyView()
{
    SignTree tree;
    SigningWidget widget(&m_panel);
    SignFileModel *model = modelOf(widget);
    const QModelIndex directory = model->index(tree.root());
    model->fetchMore(directory);
    QTRY_COMPARE(model->rowCount(directory), 3);

    elfBox(widget)->click();
    QVERIFY(proxyIndexOf(widget, tree.path(QStringLiteral("prog"))).isValid());
    QVERIFY(!proxyIndexOf(widget, tree.path(QStringLiteral("notes.txt"))).isValid());
    QVERIFY(proxyIndexOf(widget, tree.root()).isValid());

    xattrBox(widget)->click();
    QVERIFY(proxyIndexOf(widget, tree.path(QStringLiteral("notes.txt"))).isValid());
    elfBox(widget)->click();
    QVERIFY(proxyIndexOf(widget, tree.path(QStringLiteral("notes.txt"))).isValid());
}

void SigningWidgetTest::unsafeRule_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("unsafe");
    QTest::newRow("/usr") << QStringLiteral("/usr") << true;
    QTest::newRow("/usr/local/bin/tool") << QStringLiteral("/usr/local/bin/tool") << true;
    QTest::newRow("/lib") << QStringLiteral("/lib") << true;
    QTest::newRow("/") << QStringLiteral("/") << true;
    QTest::newRow("/bin/ls") << QStringLiteral("/bin/ls") << true;
    QTest::newRow("/srv") << QStringLiteral("/srv") << true;
    QTest::newRow("/sbin") << QStringLiteral("/sbin") << true;
    QTest::newRow("/opt/app") << QStringLiteral("/opt/app") << true;
    QTest::newRow("/lib64") << QStringLiteral("/lib64") << true;
    QTest::newRow("/lib32/x") << QStringLiteral("/lib32/x") << true;
    QTest::newRow("//usr//share") << QStringLiteral("//usr//share") << true;
    QTest::newRow("/etc/tool") << QStringLiteral("/etc/tool") << false;
    QTest::newRow("/home/user/lib") << QStringLiteral("/home/user/lib") << false;
    QTest::newRow("/boot") << QStringLiteral("/boot") << false;
    QTest::newRow("/usrx") << QStringLiteral("/usrx") << false;
    QTest::newRow("/USR") << QStringLiteral("/USR") << false;
    QTest::newRow("/tmp/usr") << QStringLiteral("/tmp/usr") << false;
}

void SigningWidgetTest::unsafeRule()
{
    QFETCH(QString, path);
    QFETCH(bool, unsafe);
    SigningWidget widget(&m_panel);
    for (const auto button : {QDialogButtonBox::Yes, QDialogButtonBox::No}) {
        ModalAnswerer answerer;
        answerer.press(button);
        const bool goOn = widget.checkUnsafeSelectedPaths({path});
        QCOMPARE(answerer.answeredCount(), unsafe ? 1 : 0);
        QCOMPARE(goOn, !unsafe || button == QDialogButtonBox::Yes);
    }
}

void SigningWidgetTest::unsafeAskedOnce()
{
    SigningWidget widget(&m_panel);
    ModalAnswerer answerer;
    answerer.press(QDialogButtonBox::Yes);
    answerer.press(QDialogButtonBox::Yes);
    QVERIFY(widget.checkUnsafeSelectedPaths({QStringLiteral("/usr/share/doc/file"), QStringLiteral("/home/user/file"), QStringLiteral("/bin")}));
    QTest::qWait(100);
    QCOMPARE(answerer.answeredCount(), 1);
    QCOMPARE(answerer.seenTitles(), QStringList {UnsafeTitle});
    QCOMPARE(answerer.seenTexts(),
        QStringList {QStringLiteral(
            "Warning! You have selected unsafe directories for signing. After enabling extended attributes signature verification, this can lead to "
            "the inablility of booting the system, the inability to change the settings (disable) of the DigSig module and other unpredictable "
            "consequences. Do you want to continue?")});
    // No path at all: nothing to ask.
    QVERIFY(widget.checkUnsafeSelectedPaths({}));
}

void SigningWidgetTest::unsafeDeclinedEndsFlow()
{
    FakeHelperBackend backend;
    scriptKeys(backend);
    SigningWidget widget(&m_panel);
    chooseMode(widget, 1);
    QVERIFY(proxyOf(widget)->setData(proxyOf(widget)->index(0, 0), Qt::Checked, Qt::CheckStateRole));
    QVERIFY(signButton(widget)->isEnabled());

    ModalAnswerer answerer;
    answerer.press(QDialogButtonBox::No);
    signButton(widget)->click();
    QCOMPARE(answerer.seenTitles(), QStringList {UnsafeTitle});
    QCOMPARE(backend.callNames(), QStringList {Access});
}

void SigningWidgetTest::elfOnlyNeverAsksAboutSystemDirectories()
{
    FakeHelperBackend backend;
    scriptKeys(backend);
    SigningWidget widget(&m_panel);
    chooseMode(widget, 0);
    QVERIFY(tick(widget, QStringLiteral("/usr")));

    ModalAnswerer answerer;
    QString firstWindow;
    answerer.answer([&firstWindow](QWidget *window) {
        firstWindow = window->objectName();
        ModalAnswerer::pressButton(window, QDialogButtonBox::Cancel);
    });
    signButton(widget)->click();
    QCOMPARE(firstWindow, QStringLiteral("SelectKeyDialog"));
    QVERIFY(answerer.seenTitles().isEmpty());
}

void SigningWidgetTest::keyDialogCancelledEndsFlow()
{
    FakeHelperBackend backend;
    scriptKeys(backend);
    SignTree tree;
    SigningWidget widget(&m_panel);
    chooseMode(widget, 2);
    tree.reveal(widget);
    QVERIFY(tick(widget, tree.root()));

    ModalAnswerer answerer;
    answerer.press(QDialogButtonBox::Cancel);
    signButton(widget)->click();
    QCOMPARE(answerer.answeredCount(), 1);
    QCOMPARE(backend.callNames(), (QStringList {Access, KeysList}));
    QVERIFY(!inSigningMode(widget, tree.path(QStringLiteral("prog"))));
}

void SigningWidgetTest::completedRun_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("xattrSetting");
    QTest::addColumn<bool>("bootQuestion");
    QTest::newRow("elf only, xattr control on") << 0 << 1 << false;
    QTest::newRow("xattr only, xattr control on") << 1 << 1 << true;
    QTest::newRow("both, xattr control debug") << 2 << 2 << true;
    QTest::newRow("xattr only, xattr control off") << 1 << 0 << false;
    QTest::newRow("both, xattr control off") << 2 << 0 << false;
}

void SigningWidgetTest::completedRun()
{
    QFETCH(int, mode);
    QFETCH(int, xattrSetting);
    QFETCH(bool, bootQuestion);
    m_config.writeSettings(TempConfig::settings(1, xattrSetting, 2));

    SignTree tree;
    FakeHelperBackend backend;
    scriptKeys(backend);
    HelperScript signing;
    signing.progress = {fileFinished(tree.path(QStringLiteral("prog")), 0), fileFinished(tree.path(QStringLiteral("tool")), 0)};
    if (mode != 0) {
        signing.progress.append(fileFinished(tree.path(QStringLiteral("notes.txt")), 0));
    }
    backend.script(SetupSigning, signing);

    SigningWidget widget(&m_panel);
    QSignalSpy updates(&widget, &SigningWidget::finishUpdate);
    chooseMode(widget, mode);
    tree.reveal(widget);
    QVERIFY(tick(widget, tree.root()));

    ModalAnswerer answerer;
    QString keyDialogName;
    bool signingModeDuringRun = false;
    answerer.answer(acceptKeyDialog(true, &keyDialogName));
    finishSigningDialog(answerer, &signingModeDuringRun, &widget, tree.path(QStringLiteral("prog")));
    if (bootQuestion) {
        answerer.press(QDialogButtonBox::Yes);
    }
    signButton(widget)->click();

    QCOMPARE(keyDialogName, QStringLiteral("SelectKeyDialog"));
    QVERIFY(signingModeDuringRun);
    QVERIFY(!inSigningMode(widget, tree.path(QStringLiteral("prog"))));
    QCOMPARE(answerer.seenTitles(), bootQuestion ? QStringList {BootTitle} : QStringList());
    QCOMPARE(backend.callNames().count(Access), 2);

    const auto signingCalls = backend.callsWith(SetupSigning, QStringLiteral("signing_process"));
    QCOMPARE(signingCalls.size(), 1);
    const QVariantMap arguments = signingCalls.first().arguments;
    QCOMPARE(arguments.value(QStringLiteral("key_id")).toString(), LastKey);
    QCOMPARE(arguments.value(QStringLiteral("mode")).toInt(), mode);
    QCOMPARE(arguments.value(QStringLiteral("files")).toStringList().size(), mode == 0 ? 2 : 3);
    if (mode != 0) {
        QCOMPARE(arguments.value(QStringLiteral("paths")).toStringList(), QStringList {tree.root()});
    }
    QCOMPARE(backend.callsWith(Logging, QStringLiteral("log")).size(), 1);

    if (!bootQuestion) {
        QCOMPARE(backend.callNames().count(Change), 0);
        QCOMPARE(updates.count(), 0);
        return;
    }
    QTRY_COMPARE(updates.count(), 2);
    QCOMPARE(updates.at(0), (QVariantList {false, QString()}));
    QCOMPARE(updates.at(1), (QVariantList {true, QString()}));
    const auto changeCalls = backend.callsWith(Change, QStringLiteral("update_only"));
    QCOMPARE(changeCalls.size(), 1);
    QCOMPARE(changeCalls.first().helperId, QStringLiteral("ru.orlis.kcm.digsig"));
    QCOMPARE(changeCalls.first().timeout, 480000);
    QCOMPARE(changeCalls.first().arguments.size(), 1);
    QVERIFY(changeCalls.first().arguments.value(QStringLiteral("update_only")).isNull());
}

void SigningWidgetTest::failedRunLeavesSigningMode()
{
    SignTree tree;
    FakeHelperBackend backend;
    scriptKeys(backend);
    HelperScript signing;
    signing.progress = {fileFinished(tree.path(QStringLiteral("prog")), 67), fileFinished(tree.path(QStringLiteral("tool")), 0)};
    backend.script(SetupSigning, signing);

    SigningWidget widget(&m_panel);
    chooseMode(widget, 1);
    tree.reveal(widget);
    QVERIFY(tick(widget, tree.path(QStringLiteral("prog"))));
    QVERIFY(tick(widget, tree.path(QStringLiteral("tool"))));

    ModalAnswerer answerer;
    bool signingModeDuringRun = false;
    answerer.answer(acceptKeyDialog(false));
    finishSigningDialog(answerer, &signingModeDuringRun, &widget, tree.path(QStringLiteral("prog")));
    answerer.press(QDialogButtonBox::Yes);
    signButton(widget)->click();

    QVERIFY(signingModeDuringRun);
    // The run did not complete: no second access call, no boot-image question...
    QCOMPARE(backend.callNames().count(Access), 1);
    QCOMPARE(answerer.answeredCount(), 2);
    QCOMPARE(backend.callNames().count(Change), 0);
    // ...yet both models are out of signing mode, so the status columns fill again.
    QVERIFY(!inSigningMode(widget, tree.path(QStringLiteral("prog"))));
    proxyOf(widget)->showOnlyElf(true);
    QVERIFY(!proxyIndexOf(widget, tree.path(QStringLiteral("notes.txt"))).isValid());
}

void SigningWidgetTest::cancelCountsAsCompleted()
{
    SignTree tree;
    FakeHelperBackend backend;
    scriptKeys(backend);
    HelperScript signing;
    signing.progress = {fileFinished(tree.path(QStringLiteral("prog")), 0)};
    signing.neverFinishes = true;
    backend.script(SetupSigning, signing);

    SigningWidget widget(&m_panel);
    chooseMode(widget, 2);
    tree.reveal(widget);
    QVERIFY(tick(widget, tree.root()));

    ModalAnswerer answerer;
    answerer.answer(acceptKeyDialog(false));
    cancelSigningDialog(answerer);
    answerer.press(QDialogButtonBox::No);
    signButton(widget)->click();

    QCOMPARE(answerer.seenTitles(), QStringList {BootTitle});
    QCOMPARE(backend.callNames().count(Access), 2);
    QCOMPARE(backend.callNames().count(Change), 0);
    QVERIFY(backend.jobs().size() >= 1);
    QVERIFY(!inSigningMode(widget, tree.path(QStringLiteral("prog"))));
}

void SigningWidgetTest::backgroundUpdateFailureAndWarnings()
{
    SignTree tree;
    FakeHelperBackend backend;
    scriptKeys(backend);
    HelperScript signing;
    signing.progress = {fileFinished(tree.path(QStringLiteral("prog")), 0)};
    backend.script(SetupSigning, signing);
    HelperScript update;
    update.progress = {{{QStringLiteral("warning"), QStringLiteral("initrd is large")}}};
    update.error = 4;
    update.errorText = QStringLiteral("update failed");
    backend.script(Change, update);

    SigningWidget widget(&m_panel);
    QSignalSpy updates(&widget, &SigningWidget::finishUpdate);
    chooseMode(widget, 1);
    tree.reveal(widget);
    QVERIFY(tick(widget, tree.path(QStringLiteral("prog"))));

    ModalAnswerer answerer;
    answerer.answer(acceptKeyDialog(false));
    finishSigningDialog(answerer, nullptr, &widget, QString());
    answerer.press(QDialogButtonBox::Yes);
    QTest::ignoreMessage(QtDebugMsg, "Applying changes occurred with warnings initrd is large");
    signButton(widget)->click();
    QTRY_COMPARE(updates.count(), 2);
    QCOMPARE(updates.at(0), (QVariantList {false, QString()}));
    QCOMPARE(updates.at(1), (QVariantList {true, QStringLiteral("update failed")}));
    QTest::qWait(50);
    QCOMPARE(updates.count(), 2);
}

// The signing run and the boot-list update hold the helper: Sign and "Create new key" wait
// for them and come back by themselves.
void SigningWidgetTest::longActionsHoldSignAndKeyCreation()
{
    SignTree tree;
    FakeHelperBackend backend;
    scriptKeys(backend);
    HelperScript neverEnds;
    neverEnds.progress = {fileFinished(tree.path(QStringLiteral("prog")), 0)};
    neverEnds.neverFinishes = true;
    backend.script(SetupSigning, neverEnds);
    backend.script(Change, neverEnds);

    SigningWidget widget(&m_panel);
    KeysWidget keys;
    auto createKey = keys.findChild<QPushButton *>(QStringLiteral("createKeyButton"));
    QSignalSpy updates(&widget, &SigningWidget::finishUpdate);
    chooseMode(widget, 2);
    tree.reveal(widget);
    QVERIFY(tick(widget, tree.root()));

    ModalAnswerer answerer;
    QString busyDuringRun;
    bool signEnabledDuringRun = true;
    answerer.answer(acceptKeyDialog(false));
    cancelSigningDialog(answerer, [&]() {
        busyDuringRun = HelperActivity::instance()->description(HelperCall::DigsigNamespace);
        signEnabledDuringRun = signButton(widget)->isEnabled();
    });
    answerer.press(QDialogButtonBox::Yes);
    signButton(widget)->click();
    QCOMPARE(busyDuringRun, QStringLiteral("Signing files…"));
    QVERIFY(!signEnabledDuringRun);

    QCOMPARE(updates.count(), 1);
    QCOMPARE(HelperActivity::instance()->description(HelperCall::DigsigNamespace), QStringLiteral("Updating the list of files verified at boot…"));
    QVERIFY(!signButton(widget)->isEnabled());
    QVERIFY(!createKey->isEnabled());

    backend.jobs().last()->kill(KJob::EmitResult);
    QCOMPARE(updates.count(), 2);
    QVERIFY(signButton(widget)->isEnabled());
    QVERIFY(createKey->isEnabled());
}

void SigningWidgetTest::rebuild()
{
    SignTree tree;
    SigningWidget widget(&m_panel);
    chooseMode(widget, 0);
    tree.reveal(widget);
    QVERIFY(tick(widget, tree.root()));
    QVERIFY(signButton(widget)->isEnabled());
    QPointer<FilteredTreeProxyModel> oldProxy = proxyOf(widget);

    widget.setupTable();
    QVERIFY(proxyOf(widget) != oldProxy);
    QVERIFY(proxyOf(widget)->checkedList().isEmpty());
    // The check boxes and the button keep their state until the next toggle or tick.
    QVERIFY(elfBox(widget)->isChecked());
    QVERIFY(signButton(widget)->isEnabled());
    // The new proxy shows what "Sign executable files" alone asks for: ELF files only.
    const QModelIndex directory = modelOf(widget)->index(tree.root());
    modelOf(widget)->fetchMore(directory);
    QTRY_COMPARE(modelOf(widget)->rowCount(directory), 3);
    QTRY_VERIFY(proxyIndexOf(widget, tree.path(QStringLiteral("prog"))).isValid());
    QVERIFY(!proxyIndexOf(widget, tree.path(QStringLiteral("notes.txt"))).isValid());
    // Ticks in the new tree drive the button again.
    QVERIFY(tick(widget, tree.path(QStringLiteral("prog"))));
    QVERIFY(signButton(widget)->isEnabled());
    QTRY_VERIFY(!oldProxy);
    QCOMPARE(treeView(widget)->header()->logicalIndex(1), 4);
    QCOMPARE(treeView(widget)->header()->logicalIndex(2), 5);
}

QTEST_MAIN(SigningWidgetTest)
#include "signingwidgettest.moc"

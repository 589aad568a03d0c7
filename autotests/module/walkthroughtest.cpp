// The whole module as the settings host runs it, driven like a person on the offscreen
// platform: settings, verification mode, signing, key creation. The privileged helpers are
// scripted; pkexec, the reboot tool and keywright are stand-ins on PATH.

#include "controlpanelwidget.h"
#include "digsigmodule.h"
#include "fakehelperbackend.h"
#include "filteredtreeproxymodel.h"
#include "helperactivity.h"
#include "helpercall.h"
#include "helperjob.h"
#include "keyswidget.h"
#include "modalanswerer.h"
#include "signaturescan.h"
#include "signfilemodel.h"
#include "signingwidget.h"
#include "tempconfig.h"

#include <kcmos/messagesmanager.h>
#include <kcmos/statewidget.h>

#include <KMessageWidget>
#include <KPluginFactory>

#include <QtTest>
#include <QtWidgets>

// The factory of digsigfactory.cpp, compiled into this test so that the test hooks and the
// scripted helpers reach the module it makes (the plugin file keeps its own hidden copies).
extern "C" QObject *qt_plugin_instance();

namespace {
const QString Access = QStringLiteral("ru.orlis.kcm.securitysettings.access");
const QString KeysList = QStringLiteral("ru.orlis.kcm.digsig.keyslist");
const QString Change = QStringLiteral("ru.orlis.kcm.digsig.change");
const QString SetupSigning = QStringLiteral("ru.orlis.kcm.digsig.setupsigning");
const QString Fingerprint = QStringLiteral("0123456789ABCDEF0123456789ABCDEF01234567");
const QString Updating = QStringLiteral("Updating the list of files verified at boot…");

void writeProgram(const QString &path, const QByteArray &script)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write("#!/bin/sh\n" + script);
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QString readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}
}

class WalkthroughTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void settingsAreEditedAndApplied();
    void busyHelperHoldsApply();
    void treeIsSigned();
    void keyIsCreated();
    void pluginFileCarriesTheFactory();

private:
    template<typename T>
    T *child(const char *name) const
    {
        return m_module->findChild<T *>(QLatin1String(name));
    }
    // Notes every dialog and message box shown, by its title or, untitled, by its text.
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto dialog = qobject_cast<QDialog *>(watched);
        if (event->type() == QEvent::Show && dialog && dialog->isWindow()) {
            auto box = qobject_cast<QMessageBox *>(dialog);
            m_windows.append(dialog->windowTitle().isEmpty() && box ? box->text() : dialog->windowTitle());
        }
        return false;
    }
    // Presses a button of the next window but the signature check, which closes by itself.
    static void press(ModalAnswerer &answerer, QDialogButtonBox::StandardButton button)
    {
        answerer.answerWhen([](QWidget *window) { return !window->inherits("SignatureScanDialog"); },
            [button](QWidget *window) { ModalAnswerer::pressButton(window, button); });
    }
    QString lastMessage() const
    {
        const auto shown = m_module->messagesManager()->messages();
        return shown.isEmpty() ? QString() : QString::number(shown.first()->messageType()) + QLatin1Char(' ') + shown.first()->text();
    }

    FakeHelperBackend m_helper;
    TempConfig m_config;
    QTemporaryDir m_dir;
    QWidget m_host;
    DigsigModule *m_module = nullptr;
    QStringList m_windows;
    // Closes a modal window left open for seconds, so that a broken flow fails at once.
    QTimer m_watchdog;
    QPointer<QWidget> m_watched;
    QElapsedTimer m_watchedSince;
};

void WalkthroughTest::initTestCase()
{
    m_config.writeSettings(TempConfig::settings(2, 2, 2, 1, 0));
    m_config.writeTemplates("/opt/demo/\n");
    DigSigSettingsData::setConfigurationDirectory(m_config.path());
    KeysWidget::setKeyDirectoryForTesting(m_dir.filePath(QStringLiteral("keys")));
    // pkexec starts keywright as the real one would; bsign's status checks are refused.
    writeProgram(m_dir.filePath(QStringLiteral("pkexec")),
        "case \"$1\" in\n*/keywright) printf '%s\\n' \"$@\" > '" + m_dir.filePath(QStringLiteral("keywright")).toUtf8() + "'; printf '" + Fingerprint.toLatin1()
            + "' ;;\n*) exit 127 ;;\nesac\n");
    writeProgram(m_dir.filePath(QStringLiteral("tovi-wmfunc")), "echo \"$* $XDG_RUNTIME_DIR\" > '" + m_dir.filePath(QStringLiteral("reboot")).toUtf8() + "'\n");
    DigsigModule::setRebootToolForTesting(m_dir.filePath(QStringLiteral("tovi-wmfunc")));
    qputenv("PATH", m_dir.path().toLocal8Bit() + ':' + qgetenv("PATH"));
    qputenv("SUDO_UID", "1000");
    connect(&m_watchdog, &QTimer::timeout, this, [this] {
        QWidget *window = QApplication::activeModalWidget();
        if (window != m_watched) {
            m_watched = window;
            m_watchedSince.start();
        } else if (window && m_watchedSince.elapsed() > 5000) {
            m_windows.append(QStringLiteral("left open: ") + window->windowTitle());
            if (auto dialog = qobject_cast<QDialog *>(window)) {
                dialog->done(QDialog::Rejected);
            }
        }
    });
    m_watchdog.start(100);
    qApp->installEventFilter(this);
    SignatureScan::setRootForTesting(m_dir.filePath(QStringLiteral("scan-root")));

    auto factory = qobject_cast<KPluginFactory *>(qt_plugin_instance());
    QVERIFY(factory);
    // The host's arguments: an empty name and an empty array.
    m_module = qobject_cast<DigsigModule *>(factory->create<KCModule>(&m_host, {QString(), QVariant()}));
    QVERIFY(m_module);
    QCOMPARE(m_module->objectName(), QStringLiteral("DigsigModule"));
    QVERIFY(m_module->buttons() & KCModule::Apply);
    // The first show loads the module, which builds its page and imports the vendor keys.
    m_host.show();
    QTRY_VERIFY_WITH_TIMEOUT(m_module->findChild<ControlPanelWidget *>(), 5000);
    auto tabs = m_module->findChild<QTabWidget *>();
    QCOMPARE(tabs->tabText(0), QStringLiteral("Signing"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("Keys"));
    QTRY_COMPARE_WITH_TIMEOUT(m_helper.callNames(), QStringList {KeysList}, 2000);
    QVERIFY(m_helper.calls().first().arguments.contains(QStringLiteral("import_zelmark_keys")));
    QVERIFY(!child<QWidget>("helperBusyNotice")->isVisible());
}

void WalkthroughTest::settingsAreEditedAndApplied()
{
    m_helper.clearCalls();
    m_windows.clear();
    QSignalSpy changed(m_module, qOverload<bool>(&KCModule::changed));
    auto exe = child<QComboBox>("comboExeFiles");
    auto attrs = child<QComboBox>("comboAttrs");
    auto verifyText = child<QLineEdit>("lineEdit");
    auto resetVerify = child<QToolButton>("resetVerifyButton");
    const QString debugTip = QStringLiteral("System will issue warnings about unsigned files");
    QCOMPARE(exe->currentData().value<ControllMode>(), ControllMode::Debug);
    QCOMPARE(exe->toolTip(), debugTip);
    QCOMPARE(verifyText->text(), QStringLiteral("Checking the first signature type found for a file"));
    const int shrunk = static_cast<int>(QFont().pointSize() / 1.15);
    QCOMPARE(child<KMessageWidget>("kmessagewidget")->font().pointSize(), shrunk);

    // With executable control off, the verification mode is not open to choice.
    exe->setCurrentIndex(1);
    QCOMPARE(exe->toolTip(), QStringLiteral("Disable cheking executable files"));
    QCOMPARE(changed.last().at(0).toBool(), true);
    bool choicesOpen = true;
    ModalAnswerer answerer;
    answerer.answer([&choicesOpen](QWidget *dialog) {
        choicesOpen = dialog->findChild<QRadioButton *>(QStringLiteral("any"))->isEnabled();
        ModalAnswerer::pressButton(dialog, QDialogButtonBox::Cancel);
    });
    QTest::mouseClick(child<QToolButton>("verifyModeButton"), Qt::LeftButton);
    QVERIFY(!choicesOpen);
    exe->setCurrentIndex(2);
    QCOMPARE(changed.last().at(0).toBool(), false);

    exe->setCurrentIndex(0);
    attrs->setCurrentIndex(1);
    QCOMPARE(exe->toolTip(), QStringLiteral("Enable cheking executable files"));
    QCOMPARE(attrs->toolTip(), QStringLiteral("Disable control externded attributes files"));
    QCOMPARE(attrs->itemData(2, Qt::ToolTipRole).toString(), debugTip);
    auto templates = child<QTextEdit>("textEdit");
    QVERIFY(!templates->isVisible());
    QTest::mouseClick(child<QPushButton>("xattrButton"), Qt::LeftButton);
    QVERIFY(templates->isVisible());
    templates->moveCursor(QTextCursor::End);
    QTest::keyClicks(templates, QStringLiteral("/srv/"));
    QTest::keyClick(templates, Qt::Key_Return);

    // The file's own mode again offers no OK; a risky one warns and is taken.
    bool okForFileMode = true;
    answerer.answer([&okForFileMode](QWidget *dialog) {
        QTimer::singleShot(0, dialog, [dialog, &okForFileMode] {
            auto ok = dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok);
            dialog->findChild<QRadioButton *>(QStringLiteral("fallback"))->click();
            okForFileMode = ok->isEnabled();
            dialog->findChild<QRadioButton *>(QStringLiteral("all"))->click();
            ok->click();
        });
    });
    press(answerer, QDialogButtonBox::Ok);
    QTest::mouseClick(child<QToolButton>("verifyModeButton"), Qt::LeftButton);
    QVERIFY(!okForFileMode);
    QCOMPARE(verifyText->text(), QStringLiteral("Check ELF and XATTR signatures"));
    QVERIFY(resetVerify->isEnabled());
    QCOMPARE(changed.last().at(0).toBool(), true);

    // Apply: the enforcement warning declined, then a helper failure, then success.
    press(answerer, QDialogButtonBox::No);
    m_module->change();
    QVERIFY(m_helper.calls().isEmpty());
    QCOMPARE(lastMessage(), QString());
    HelperScript refused;
    refused.error = 4;
    m_helper.script(Change, refused);
    press(answerer, QDialogButtonBox::Yes);
    QTest::ignoreMessage(QtCriticalMsg, "Error code 4, text: \"\"!");
    m_module->change();
    QCOMPARE(lastMessage(), QStringLiteral("3 Applying changes occurred with errors"));
    m_helper.script(Change, HelperScript());
    press(answerer, QDialogButtonBox::Yes);
    press(answerer, QDialogButtonBox::Yes);
    m_module->change();
    QCOMPARE(lastMessage(), QStringLiteral("0 Changes applied successfully"));
    QCOMPARE(readFile(m_dir.filePath(QStringLiteral("reboot"))), QStringLiteral("TOVIWM_REBOOT /run/user/1000\n"));
    QCOMPARE(m_module->stateWidget()->currentState(), KCMOS::Idle);
    QCOMPARE(changed.last().at(0).toBool(), true);
    QCOMPARE(m_windows.join(QLatin1String(", ")),
        QStringLiteral("Verify mode, Verify mode, Warning, Check signatures, Warning, Check signatures, Warning, Check signatures, Warning, "
                       "Reboot system"));
    QCOMPARE(m_helper.callNames(), QStringList({Change, Change}));
    const FakeHelperBackend::Call call = m_helper.calls().last();
    QCOMPARE(call.helperId, QStringLiteral("ru.orlis.kcm.digsig"));
    QCOMPARE(call.timeout, 480000);
    QCOMPARE(call.arguments.value(QStringLiteral("change_digsig")).toHash(),
        (QVariantHash {{QStringLiteral("DIGSIG_ELF_MODE"), 1}, {QStringLiteral("DIGSIG_XATTR_MODE"), 0}, {QStringLiteral("DIGSIG_IGNORE_XATTR_KEYS"), 1},
            {QStringLiteral("DIGSIG_IGNORE_GOST2001"), 0}, {QStringLiteral("DIGSIG_XATTR_CONTROL"), QStringLiteral("/opt/demo/\n/srv/\n")},
            {QStringLiteral("DIGSIG_ELF_VERIFICATION_MODE"), 4}}));

    // Loading again shows the files' values on the same page and imports nothing.
    m_module->load();
    QCOMPARE(m_module->findChildren<ControlPanelWidget *>().size(), 1);
    QCOMPARE(exe->currentData().value<ControllMode>(), ControllMode::Debug);
    QCOMPARE(attrs->currentData().value<ControllMode>(), ControllMode::Debug);
    QCOMPARE(templates->toPlainText(), QStringLiteral("/opt/demo/\n"));
    QVERIFY(!templates->isVisible());
    QCOMPARE(verifyText->text(), QStringLiteral("Checking the first signature type found for a file"));
    QVERIFY(!resetVerify->isEnabled());
    QCOMPARE(child<KMessageWidget>("kmessagewidget")->font().pointSize(), shrunk);
    QCOMPARE(changed.last().at(0).toBool(), false);
    QCOMPARE(m_helper.calls().size(), 2);
}

// While a long action holds the helper, Apply, Sign and key creation wait and a notice says
// why, also about a call that waits; all comes back by itself when the action ends.
void WalkthroughTest::busyHelperHoldsApply()
{
    m_helper.clearCalls();
    HelperScript endless;
    endless.neverFinishes = true;
    m_helper.script(Change, endless);
    auto notice = child<QWidget>("helperBusyNotice");
    auto createKey = child<QPushButton>("createKeyButton");
    QSignalSpy changed(m_module, qOverload<bool>(&KCModule::changed));
    child<QComboBox>("comboExeFiles")->setCurrentIndex(1);
    QCOMPARE(changed.last().at(0).toBool(), true);

    HelperJob *job = HelperCall::executeLong(HelperCall::action(QStringLiteral("%1.change"), HelperCall::DigsigNamespace), Updating);
    job->start();
    QCOMPARE(changed.last().at(0).toBool(), false);
    QVERIFY(notice->isVisible());
    QVERIFY(!createKey->isEnabled());
    auto message = child<KMessageWidget>("helperBusyMessage");
    QVERIFY2(message->text().startsWith(Updating), qPrintable(message->text()));
    HelperJob *waiting = HelperCall::execute(HelperCall::action(QStringLiteral("%1.keyslist"), HelperCall::DigsigNamespace));
    QVERIFY2(message->text().endsWith(QStringLiteral("A request waits for it.")), qPrintable(message->text()));
    delete waiting;
    QVERIFY(!message->text().contains(QStringLiteral("waits")));

    m_module->change();
    QCOMPARE(lastMessage(), QStringLiteral("2 The settings were not applied, the helper is busy: ") + Updating);
    QCOMPARE(m_helper.callNames(), QStringList({Change, KeysList}));

    job->kill(KJob::EmitResult);
    QCOMPARE(changed.last().at(0).toBool(), true);
    QVERIFY(!notice->isVisible());
    QVERIFY(createKey->isEnabled());
    m_helper.script(Change, HelperScript());
    m_module->load();
}

void WalkthroughTest::treeIsSigned()
{
    QTemporaryDir scratch;
    const QString tree = scratch.filePath(QStringLiteral("tree"));
    // A sibling leaves the parents of the tree partly ticked, as in a loaded view.
    QVERIFY(QDir().mkpath(tree) && QDir().mkpath(scratch.filePath(QStringLiteral("sibling"))));
    QStringList files;
    for (const QString &name : {QStringLiteral("notes.txt"), QStringLiteral("prog"), QStringLiteral("tool")}) {
        files << tree + QLatin1Char('/') + name;
        QVERIFY(QFile::copy(QStringLiteral("/bin/true"), files.last()));
    }
    m_helper.clearCalls();
    m_windows.clear();
    HelperScript keys;
    keys.reply = {{QStringLiteral("A first"), QStringLiteral("1111")}, {QStringLiteral("B last"), Fingerprint}};
    m_helper.script(KeysList, keys);
    HelperScript signing;
    for (const QString &file : files) {
        signing.progress.append({{QStringLiteral("file_finished"), QVariantMap {{file, 0}}}});
    }
    m_helper.script(SetupSigning, signing);

    auto page = m_module->findChild<SigningWidget *>();
    auto proxy = qobject_cast<FilteredTreeProxyModel *>(page->findChild<QTreeView *>()->model());
    auto model = qobject_cast<SignFileModel *>(proxy->sourceModel());
    auto sign = page->findChild<QPushButton *>(QStringLiteral("signPushButton"));
    page->findChild<QCheckBox *>(QStringLiteral("xattrCheckBox"))->click();
    QVERIFY(!sign->isEnabled());
    for (const QString &path : files + QStringList {scratch.filePath(QStringLiteral("sibling"))}) {
        model->index(path);
    }
    for (const QString &path : {tree, QStringLiteral("/srv")}) {
        QVERIFY2(proxy->setData(proxy->mapFromSource(model->index(path)), Qt::Checked, Qt::CheckStateRole), qPrintable(path));
    }
    QVERIFY(sign->isEnabled());

    QObject context;
    QList<int> states;
    connect(page, &SigningWidget::finishUpdate, &context, [this, &states] { states << m_module->stateWidget()->currentState(); });
    ModalAnswerer answerer;
    press(answerer, QDialogButtonBox::Yes);
    press(answerer, QDialogButtonBox::Ok);
    answerer.answerWhen(
        [](QWidget *dialog) { return dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"))->button(QDialogButtonBox::Ok)->isEnabled(); },
        [](QWidget *dialog) { ModalAnswerer::pressButton(dialog, QDialogButtonBox::Ok); });
    press(answerer, QDialogButtonBox::Yes);
    QTest::mouseClick(sign, Qt::LeftButton);

    const QVariantMap arguments = m_helper.calls().at(2).arguments;
    const auto sorted = [&arguments](const char *key) {
        QStringList list = arguments.value(QLatin1String(key)).toStringList();
        list.sort();
        return list;
    };
    QCOMPARE(arguments.value(QStringLiteral("key_id")).toString(), Fingerprint);
    QCOMPARE(arguments.value(QStringLiteral("mode")).toInt(), 1);
    QCOMPARE(sorted("files"), files);
    QCOMPARE(sorted("paths"), QStringList({QStringLiteral("/srv"), tree}));
    QCOMPARE(m_windows.join(QLatin1String(", ")), QStringLiteral("Selection confirmation, Key selection, Signature process, Add files for verification"));
    QCOMPARE(m_helper.callNames(), QStringList({Access, KeysList, SetupSigning, Access, Change}));
    QCOMPARE(m_helper.calls().last().arguments.keys(), QStringList {QStringLiteral("update_only")});
    QCOMPARE(m_helper.calls().last().timeout, 480000);
    // The boot list is updated in the background; the page shows that it runs and how it ended.
    QTRY_COMPARE_WITH_TIMEOUT(states, QList<int>({KCMOS::Busy, KCMOS::Idle}), 2000);
    QCOMPARE(lastMessage(), QStringLiteral("0 Changes applied successfully"));
}

void WalkthroughTest::keyIsCreated()
{
    m_helper.clearCalls();
    m_windows.clear();
    ModalAnswerer answerer;
    answerer.answer([](QWidget *dialog) {
        QTest::keyClicks(dialog->findChild<QLineEdit *>(QStringLiteral("nameLineEdit")), QStringLiteral("Administrator"));
        // Clicked once this poll is over, so that the box that follows is answered too.
        QMetaObject::invokeMethod(dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok), "click", Qt::QueuedConnection);
    });
    press(answerer, QDialogButtonBox::Ok);
    QTest::mouseClick(child<QPushButton>("createKeyButton"), Qt::LeftButton);

    QCOMPARE(m_windows.join(QLatin1String(", ")), QStringLiteral("Create key, Key generated successfully."));
    QCOMPARE(readFile(m_dir.filePath(QStringLiteral("keywright"))), QStringLiteral("/usr/lib/kauth/libexec/keywright\n--genkey\nAdministrator\n\n\n"));
    QCOMPARE(m_helper.callNames(), QStringList({Access, QStringLiteral("ru.orlis.kcm.digsig.exportkey")}));
    QCOMPARE(m_helper.calls().last().arguments,
        (QVariantMap {
            {QStringLiteral("key"), Fingerprint}, {QStringLiteral("path"), m_dir.filePath(QStringLiteral("keys/xattr_keys/%1.gpg").arg(Fingerprint))}}));
}

// The built plugin names the factory to the host and makes the module from its own copy.
void WalkthroughTest::pluginFileCarriesTheFactory()
{
    QPluginLoader loader(QStringLiteral(PLUGIN_FILE));
    const QJsonObject metaData = loader.metaData();
    QCOMPARE(metaData.value(QStringLiteral("IID")).toString(), QStringLiteral("org.kde.KPluginFactory"));
    QCOMPARE(metaData.value(QStringLiteral("className")).toString(), QStringLiteral("DigsigFactory"));
    QVERIFY(metaData.value(QStringLiteral("MetaData")).toObject().isEmpty());
    auto factory = qobject_cast<KPluginFactory *>(loader.instance());
    QVERIFY2(factory, qPrintable(loader.errorString()));
    QWidget host;
    auto module = factory->create<KCModule>(&host, {QString(), QVariant()});
    QCOMPARE(QByteArray(module->metaObject()->className()), QByteArrayLiteral("DigsigModule"));
    QCOMPARE(module->parentWidget(), &host);
}

QTEST_MAIN(WalkthroughTest)
#include "walkthroughtest.moc"

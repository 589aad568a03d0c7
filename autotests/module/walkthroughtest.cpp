// The module as the settings host runs it, driven like a person: settings, verification mode,
// signing, key creation; scripted helpers, stand-ins for pkexec (keywright) and the reboot tool.

#include "controlpanelwidget.h"
#include "dialogdeadline.h"
#include "digsigmodule.h"
#include "fakehelperbackend.h"
#include "filteredtreeproxymodel.h"
#include "helpercall.h"
#include "helperjob.h"
#include "helperscripts.h"
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

// The factory of digsigfactory.cpp, compiled in so that the test hooks reach the module it makes.
extern "C" QObject *qt_plugin_instance();

namespace {
const QString Access = QStringLiteral("ru.orlis.kcm.securitysettings.access");
const QString KeysList = QStringLiteral("ru.orlis.kcm.digsig.keyslist");
const QString Change = QStringLiteral("ru.orlis.kcm.digsig.change");
const QString SetupSigning = QStringLiteral("ru.orlis.kcm.digsig.setupsigning");
const QString Fingerprint = QStringLiteral("0123456789ABCDEF0123456789ABCDEF01234567");
const QString Updating = QStringLiteral("Updating the list of files verified at boot…");
const QString FallbackText = QStringLiteral("Checking the first signature type found for a file");

QString readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// Presses a button of the next window but the signature check, which closes by itself.
void press(ModalAnswerer &answerer, QDialogButtonBox::StandardButton button)
{
    answerer.answerWhen(
        [](QWidget *window) { return !window->inherits("SignatureScanDialog"); }, [button](QWidget *window) { ModalAnswerer::pressButton(window, button); });
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
    QString windows()
    {
        const QString seen = m_windows.join(QLatin1String(", "));
        m_windows.clear();
        return seen;
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
};

void WalkthroughTest::initTestCase()
{
    m_config.writeSettings(TempConfig::settings(2, 2, 2, 1, 0));
    m_config.writeTemplates("/opt/demo/\n");
    DigSigSettingsData::setConfigurationDirectory(m_config.path());
    KeysWidget::setKeyDirectoryForTesting(m_dir.filePath(QStringLiteral("keys")));
    SignatureScan::setRootForTesting(m_dir.filePath(QStringLiteral("scan-root")));
    DigsigModule::setRebootToolForTesting(m_dir.filePath(QStringLiteral("tovi-wmfunc")));
    // pkexec starts keywright as the real one would; bsign finds no signature, and neither
    // does digsig-check in the scan's root; it refuses the rest.
    const QByteArray pkexec
        = "case \"$2\" in -w) printf 'xattr signature: none\\nELF signature: none\\n'; exit 65;; esac\n"
          "case \"$1\" in */digsig-check) for f in scan-root/usr/bin/*; do n=false; [ \"${f##*/}\" != init ] || n=true; [ ! -e \"$f\" ] || printf "
          "'{\"path\":\"%s\",\"elf\":\"none\",\"xattr\":\"none\",\"verdict\":\"refused\",\"key\":\"\",\"needed\":%s}\\n' \"${f#scan-root}\" $n; done; exit 1;; "
          "esac\n"
        + QByteArray("case \"$1\" in */keywright) printf '%s\\n' \"$@\" > keywright; printf ") + Fingerprint.toLatin1() + ";; *) exit 127;; esac";
    for (const auto &[name, script] : {std::pair("pkexec", pkexec), std::pair("tovi-wmfunc", QByteArray("echo \"$* $XDG_RUNTIME_DIR\" > reboot"))}) {
        QFile program(m_dir.filePath(QLatin1String(name)));
        QVERIFY(program.open(QIODevice::WriteOnly) && program.write("#!/bin/sh\ncd '" + QFile::encodeName(m_dir.path()) + "'\n" + script + '\n'));
        QVERIFY(program.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
    qputenv("PATH", QFile::encodeName(m_dir.path()) + ':' + qgetenv("PATH"));
    qputenv("SUDO_UID", "1000");
    qApp->installEventFilter(this);

    // As the host does: an empty name and array; the first show loads it and imports the vendor keys.
    m_module = qobject_cast<DigsigModule *>(qobject_cast<KPluginFactory *>(qt_plugin_instance())->create<KCModule>(&m_host, {QString(), QVariant()}));
    QVERIFY(m_module && (m_module->buttons() & KCModule::Apply));
    m_host.show();
    QTRY_VERIFY_WITH_TIMEOUT(m_module->findChild<ControlPanelWidget *>(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(m_helper.callNames(), QStringList {KeysList}, 2000);
    QVERIFY(m_helper.calls().first().arguments.contains(QStringLiteral("import_zelmark_keys")));
}

void WalkthroughTest::settingsAreEditedAndApplied()
{
    DialogDeadline deadline(8000);
    m_helper.clearCalls();
    QSignalSpy changed(m_module, qOverload<bool>(&KCModule::changed));
    const auto lastChanged = [&changed] { return changed.last().at(0).toBool(); };
    auto exe = child<QComboBox>("comboExeFiles");
    auto attrs = child<QComboBox>("comboAttrs");
    auto templates = child<QTextEdit>("textEdit");
    auto verifyText = child<QLineEdit>("lineEdit");
    auto resetVerify = child<QToolButton>("resetVerifyButton");
    const int shrunkFont = static_cast<int>(QFont().pointSize() / 1.15);
    QCOMPARE(exe->toolTip(), QStringLiteral("System will issue warnings about unsigned files"));

    // With executable control off, the verification mode is not open to choice.
    exe->setCurrentIndex(1);
    QVERIFY(lastChanged());
    bool choicesOpen = true;
    ModalAnswerer answerer;
    answerer.answer([&choicesOpen](QWidget *dialog) {
        choicesOpen = dialog->findChild<QRadioButton *>(QStringLiteral("any"))->isEnabled();
        ModalAnswerer::pressButton(dialog, QDialogButtonBox::Cancel);
    });
    QTest::mouseClick(child<QToolButton>("verifyModeButton"), Qt::LeftButton);
    QVERIFY(!choicesOpen);
    exe->setCurrentIndex(2);
    QVERIFY(!lastChanged());
    attrs->setCurrentIndex(1);
    QVERIFY(lastChanged());
    attrs->setCurrentIndex(2);
    QVERIFY(!lastChanged());
    QVERIFY(!templates->isVisible());
    QTest::mouseClick(child<QPushButton>("xattrButton"), Qt::LeftButton);
    QVERIFY(templates->isVisible());
    templates->moveCursor(QTextCursor::End);
    QTest::keyClicks(templates, QStringLiteral("/srv/"));
    QTest::keyClick(templates, Qt::Key_Return);
    QVERIFY(lastChanged());
    exe->setCurrentIndex(0);
    attrs->setCurrentIndex(1);
    QCOMPARE(
        exe->toolTip() + QLatin1Char('/') + attrs->toolTip(), QStringLiteral("Enable cheking executable files/Disable control externded attributes files"));

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
    QVERIFY(resetVerify->isEnabled() && lastChanged());

    // Apply: an unsigned program under the checked root is shown on Yes (the report closed, nothing
    // applied); on No the enforcement warning follows, declined. Then a helper failure, then success.
    // A program the system needs to start is named first, and Return (No) keeps the settings.
    const QString init = m_dir.filePath(QStringLiteral("scan-root/usr/bin/init"));
    QVERIFY(QDir().mkpath(QFileInfo(init).path()) && QFile::copy(QStringLiteral("/usr/bin/true"), init));
    answerer.answerWhen([](QWidget *window) { return window->inherits("QMessageBox"); }, [](QWidget *box) { QTest::keyClick(box, Qt::Key_Return); });
    answerer.answer([](QWidget *report) { report->close(); });
    m_module->change();
    QVERIFY(QFile::remove(init));
    QVERIFY(answerer.seenTexts().contains(
        QStringLiteral("The system may not start: %1 would be refused after the next boot. 1 programs have no good signature in all. Apply anyway?")
            .arg(init)));
    const QString program = m_dir.filePath(QStringLiteral("scan-root/usr/bin/true"));
    QVERIFY(QFile::copy(QStringLiteral("/usr/bin/true"), program));
    press(answerer, QDialogButtonBox::Yes);
    answerer.answer([](QWidget *report) { report->close(); });
    m_module->change();
    press(answerer, QDialogButtonBox::No);
    press(answerer, QDialogButtonBox::No);
    m_module->change();
    QVERIFY(QFile::remove(program));
    QVERIFY(answerer.seenTexts().contains(QStringLiteral("1 programs have no good signature: show them?")));
    QVERIFY(m_helper.calls().isEmpty());
    QCOMPARE(lastMessage(), QString());
    m_helper.script(Change, failing(4, QString()));
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
    QVERIFY(lastChanged());
    QCOMPARE(windows(),
        QStringLiteral(
            "Verify mode, Verify mode, Warning, Check signatures, Check signatures, Check signatures, Check signatures, Check signatures, Check signatures, "
            "Warning, Check signatures, "
            "Warning, Check signatures, Warning, "
            "Reboot system"));
    QCOMPARE(m_helper.callNames(), QStringList({Change, Change}));
    const FakeHelperBackend::Call call = m_helper.calls().last();
    QCOMPARE(call.helperId + QLatin1Char(' ') + QString::number(call.timeout), QStringLiteral("ru.orlis.kcm.digsig 480000"));
    QCOMPARE(call.arguments.value(QStringLiteral("change_digsig")).toHash(),
        (QVariantHash {{QStringLiteral("DIGSIG_ELF_MODE"), 1}, {QStringLiteral("DIGSIG_XATTR_MODE"), 0}, {QStringLiteral("DIGSIG_IGNORE_XATTR_KEYS"), 1},
            {QStringLiteral("DIGSIG_IGNORE_GOST2001"), 0}, {QStringLiteral("DIGSIG_XATTR_CONTROL"), QStringLiteral("/opt/demo/\n/srv/\n")},
            {QStringLiteral("DIGSIG_ELF_VERIFICATION_MODE"), 4}}));

    // Loading again shows the files' values on the same page and imports nothing.
    m_module->load();
    QCOMPARE(exe->currentData().value<ControllMode>(), ControllMode::Debug);
    QCOMPARE(attrs->currentData().value<ControllMode>(), ControllMode::Debug);
    QCOMPARE(templates->toPlainText(), QStringLiteral("/opt/demo/\n"));
    QCOMPARE(verifyText->text(), FallbackText);
    QVERIFY(!templates->isVisible() && !resetVerify->isEnabled());
    QCOMPARE(child<KMessageWidget>("kmessagewidget")->font().pointSize(), shrunkFont);
    QVERIFY(!lastChanged());
    QCOMPARE(m_helper.calls().size(), 2);
}

// While a long action holds the helper, Apply and key creation wait and a notice says why,
// also about a call that waits; all comes back by itself when the action ends.
void WalkthroughTest::busyHelperHoldsApply()
{
    DialogDeadline deadline(8000);
    m_helper.clearCalls();
    HelperScript endless;
    endless.neverFinishes = true;
    m_helper.script(Change, endless);
    auto notice = child<QWidget>("helperBusyNotice");
    auto message = child<KMessageWidget>("helperBusyMessage");
    auto createKey = child<QPushButton>("createKeyButton");
    QSignalSpy changed(m_module, qOverload<bool>(&KCModule::changed));
    child<QComboBox>("comboExeFiles")->setCurrentIndex(1);
    QCOMPARE(changed.last().at(0).toBool(), true);
    HelperJob *job = HelperCall::executeLong(HelperCall::action(QStringLiteral("%1.change"), HelperCall::DigsigNamespace), Updating);
    job->start();
    QCOMPARE(changed.last().at(0).toBool(), false);
    QVERIFY(notice->isVisible() && !createKey->isEnabled());
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
    QVERIFY(!notice->isVisible() && createKey->isEnabled());
    // No control switched on: neither the check nor the warning, only the reboot question.
    m_helper.script(Change, HelperScript());
    ModalAnswerer answerer;
    press(answerer, QDialogButtonBox::No);
    m_windows.clear();
    m_module->change();
    QCOMPARE(windows(), QStringLiteral("Reboot system"));
    QCOMPARE(m_helper.calls().last().arguments.value(QStringLiteral("change_digsig")).toHash().value(QStringLiteral("DIGSIG_ELF_MODE")), QVariant(0));
    m_module->load();
}

void WalkthroughTest::treeIsSigned()
{
    DialogDeadline deadline(8000);
    // A sibling leaves the parents of the tree partly ticked, as in a loaded view.
    QTemporaryDir scratch;
    const QString tree = scratch.filePath(QStringLiteral("tree"));
    QVERIFY(QDir().mkpath(tree) && QDir().mkpath(scratch.filePath(QStringLiteral("sibling"))));
    QStringList files;
    HelperScript signing;
    for (const QString &name : {QStringLiteral("notes.txt"), QStringLiteral("prog"), QStringLiteral("tool")}) {
        files << tree + QLatin1Char('/') + name;
        QVERIFY(QFile::copy(QStringLiteral("/bin/true"), files.last()));
        signing.progress.append({{QStringLiteral("file_finished"), QVariantMap {{files.last(), 0}}}});
    }
    m_helper.clearCalls();
    m_helper.script(SetupSigning, signing);
    m_helper.script(KeysList, replying({{QStringLiteral("A first"), QStringLiteral("1111")}, {QStringLiteral("B last"), Fingerprint}}));
    auto page = m_module->findChild<SigningWidget *>();
    auto proxy = qobject_cast<FilteredTreeProxyModel *>(page->findChild<QTreeView *>()->model());
    auto model = qobject_cast<SignFileModel *>(proxy->sourceModel());
    auto sign = page->findChild<QPushButton *>(QStringLiteral("signPushButton"));
    page->findChild<QCheckBox *>(QStringLiteral("xattrCheckBox"))->click();
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
    m_windows.clear();
    QTest::mouseClick(sign, Qt::LeftButton);
    const QVariantMap arguments = m_helper.calls().value(2).arguments;
    QStringList sent = arguments.value(QStringLiteral("paths")).toStringList() + arguments.value(QStringLiteral("files")).toStringList();
    sent.sort();
    QCOMPARE(arguments.value(QStringLiteral("key_id")).toString(), Fingerprint);
    QCOMPARE(arguments.value(QStringLiteral("mode")).toInt(), 1);
    QCOMPARE(sent, QStringList({QStringLiteral("/srv"), tree}) + files);
    QCOMPARE(windows(), QStringLiteral("Selection confirmation, Key selection, Signature process, Add files for verification"));
    QCOMPARE(m_helper.callNames(), QStringList({Access, KeysList, SetupSigning, Access, Change}));
    QCOMPARE(m_helper.calls().last().arguments.keys(), QStringList {QStringLiteral("update_only")});
    QCOMPARE(m_helper.calls().last().timeout, 480000);
    // The boot list is updated in the background; the page shows that it runs and how it ended.
    QTRY_COMPARE_WITH_TIMEOUT(states, QList<int>({KCMOS::Busy, KCMOS::Idle}), 2000);
    QCOMPARE(lastMessage(), QStringLiteral("0 Changes applied successfully"));
}

void WalkthroughTest::keyIsCreated()
{
    DialogDeadline deadline(8000);
    m_helper.clearCalls();
    ModalAnswerer answerer;
    answerer.answer([](QWidget *dialog) {
        QTest::keyClicks(dialog->findChild<QLineEdit *>(QStringLiteral("nameLineEdit")), QStringLiteral("Administrator"));
        // Clicked once this poll is over, so that the box that follows is answered too.
        QMetaObject::invokeMethod(dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok), "click", Qt::QueuedConnection);
    });
    press(answerer, QDialogButtonBox::Ok);
    m_windows.clear();
    QTest::mouseClick(child<QPushButton>("createKeyButton"), Qt::LeftButton);
    QCOMPARE(windows(), QStringLiteral("Create key, Key generated successfully."));
    QCOMPARE(readFile(m_dir.filePath(QStringLiteral("keywright"))), QStringLiteral("/usr/lib/kauth/libexec/keywright\n--genkey\nAdministrator\n\n\n"));
    QCOMPARE(m_helper.callNames(), QStringList({Access, QStringLiteral("ru.orlis.kcm.digsig.exportkey")}));
    const QString exported = m_dir.filePath(QStringLiteral("keys/xattr_keys/%1.gpg").arg(Fingerprint));
    QCOMPARE(m_helper.calls().last().arguments, (QVariantMap {{QStringLiteral("key"), Fingerprint}, {QStringLiteral("path"), exported}}));
}

QTEST_MAIN(WalkthroughTest)
#include "walkthroughtest.moc"

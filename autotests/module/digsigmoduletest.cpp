#include "digsigmodule.h"
#include "signaturescan.h"
#include "controlpanelwidget.h"
#include "digsigsettingsdata.h"
#include "fakehelperbackend.h"
#include "helpercall.h"
#include "helperjob.h"
#include "modalanswerer.h"
#include "signingwidget.h"
#include "tempconfig.h"

#include <kcmos/messagesmanager.h>
#include <kcmos/statewidget.h>

#include <KMessageWidget>

#include <QComboBox>
#include <QFile>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString ChangeAction = QStringLiteral("ru.orlis.kcm.digsig.change");
}

class DigsigModuleTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void firstAccessBuildsThePage();
    void secondAccessCreatesNothingNew();
    void onlyFirstAccessImportsVendorKeys();
    void editsRaiseAndClearTheChangedFlag();
    void applySendsTheSettings();
    void applyDeclinedRunsNothing();
    void applyFailureShowsErrorAndKeepsChanges();
    void rebootAnswer_data();
    void rebootAnswer();
    void backgroundUpdateShowsState_data();
    void backgroundUpdateShowsState();
    void longActionHoldsApply();

private:
    QString rebootRecord() const;
    KCMOS::MessagesManager *messages() const;
    QString lastMessageText() const;
    KMessageWidget::MessageType lastMessageType() const;

    // No test reaches the real helpers, not even the module's own key import.
    FakeHelperBackend m_quietHelper;
    TempConfig *m_config = nullptr;
    QTemporaryDir m_toolDir;
    DigsigModule *m_module = nullptr;
};

void DigsigModuleTest::initTestCase()
{
    // Stands in for the window manager's tool: writes down how it was called.
    const QString tool = m_toolDir.filePath(QStringLiteral("tovi-wmfunc"));
    QFile script(tool);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(QStringLiteral("#!/bin/sh\necho \"$* $XDG_RUNTIME_DIR\" > '%1'\n").arg(m_toolDir.filePath(QStringLiteral("record"))).toUtf8());
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    DigsigModule::setRebootToolForTesting(tool);
    // Apply checks the signatures below this empty root instead of the machine's programs.
    SignatureScan::setRootForTesting(m_toolDir.filePath(QStringLiteral("root")));

    // The signing tab asks pkexec for the state of every file it shows; here pkexec only
    // refuses, as it does for a user who is not allowed.
    QFile pkexec(m_toolDir.filePath(QStringLiteral("pkexec")));
    QVERIFY(pkexec.open(QIODevice::WriteOnly));
    pkexec.write("#!/bin/sh\nexit 127\n");
    pkexec.close();
    pkexec.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("PATH", m_toolDir.path().toLocal8Bit() + ':' + qgetenv("PATH"));
}

void DigsigModuleTest::init()
{
    m_config = new TempConfig;
    m_config->writeSettings(TempConfig::settings(2, 0, 2));
    m_config->writeTemplates("/opt/demo/\n");
    DigSigSettingsData::setConfigurationDirectory(m_config->path());
    QFile::remove(m_toolDir.filePath(QStringLiteral("record")));
    m_module = new DigsigModule(nullptr, {});
    // As in the host: the first show loads the module, which builds its page.
    m_module->show();
    QTRY_VERIFY(m_module->findChild<ControlPanelWidget *>());
    QTest::qWait(10);
}

void DigsigModuleTest::cleanup()
{
    delete m_module;
    delete m_config;
}

QString DigsigModuleTest::rebootRecord() const
{
    QFile record(m_toolDir.filePath(QStringLiteral("record")));
    return record.open(QIODevice::ReadOnly) ? QString::fromUtf8(record.readAll()).trimmed() : QString();
}

KCMOS::MessagesManager *DigsigModuleTest::messages() const
{
    return m_module->messagesManager();
}

QString DigsigModuleTest::lastMessageText() const
{
    const auto shown = messages()->messages();
    return shown.isEmpty() ? QString() : shown.first()->text();
}

KMessageWidget::MessageType DigsigModuleTest::lastMessageType() const
{
    return messages()->messages().first()->messageType();
}

void DigsigModuleTest::firstAccessBuildsThePage()
{
    QCOMPARE(m_module->findChildren<ControlPanelWidget *>().size(), 1);
    auto tabs = m_module->findChild<QTabWidget *>();
    QVERIFY(tabs);
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->tabText(0), QStringLiteral("Signing"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("Keys"));
    QVERIFY(qobject_cast<SigningWidget *>(tabs->widget(0)));
    QVERIFY(tabs->tabBar()->documentMode());
    QVERIFY(tabs->tabBar()->expanding());
    QCOMPARE(m_module->stateWidget()->currentState(), KCMOS::Idle);
}

void DigsigModuleTest::secondAccessCreatesNothingNew()
{
    auto panel = m_module->findChild<ControlPanelWidget *>();
    auto combo = panel->findChild<QComboBox *>(QStringLiteral("comboExeFiles"));
    combo->setCurrentIndex(1); // "off", edited but not applied
    m_module->access();
    QCOMPARE(m_module->findChildren<ControlPanelWidget *>().size(), 1);
    QCOMPARE(m_module->findChildren<QTabWidget *>().size(), 1);
    QCOMPARE(m_module->findChild<ControlPanelWidget *>(), panel);
    // The panel shows the files' values again.
    QCOMPARE(combo->currentData().toInt(), 2);
}

void DigsigModuleTest::onlyFirstAccessImportsVendorKeys()
{
    FakeHelperBackend helper;
    DigsigModule module(nullptr, {});
    module.access();
    QCOMPARE(helper.callNames(), QStringList {QStringLiteral("ru.orlis.kcm.digsig.keyslist")});
    QVERIFY(helper.calls().first().arguments.contains(QStringLiteral("import_zelmark_keys")));
    module.access();
    QCOMPARE(helper.calls().size(), 1);
}

void DigsigModuleTest::editsRaiseAndClearTheChangedFlag()
{
    QSignalSpy changed(m_module, qOverload<bool>(&KCModule::changed));
    auto combo = m_module->findChild<QComboBox *>(QStringLiteral("comboExeFiles"));
    combo->setCurrentIndex(1);
    QCOMPARE(changed.last().at(0).toBool(), true);
    combo->setCurrentIndex(2);
    QCOMPARE(changed.last().at(0).toBool(), false);
}

void DigsigModuleTest::applySendsTheSettings()
{
    FakeHelperBackend helper;
    ModalAnswerer answerer;
    answerer.press(QDialogButtonBox::No); // reboot question
    m_module->change();

    QCOMPARE(helper.callNames(), QStringList {ChangeAction});
    const auto call = helper.calls().first();
    QCOMPARE(call.helperId, QStringLiteral("ru.orlis.kcm.digsig"));
    QCOMPARE(call.timeout, 480000);
    const QVariantHash sent = call.arguments.value(QStringLiteral("change_digsig")).toHash();
    QCOMPARE(sent.size(), 6);
    QCOMPARE(sent.value(QStringLiteral("DIGSIG_ELF_MODE")).toInt(), 2);
    QCOMPARE(sent.value(QStringLiteral("DIGSIG_XATTR_MODE")).toInt(), 0);
    QCOMPARE(sent.value(QStringLiteral("DIGSIG_ELF_VERIFICATION_MODE")).toInt(), 2);
    QCOMPARE(sent.value(QStringLiteral("DIGSIG_XATTR_CONTROL")).toString(), QStringLiteral("/opt/demo/\n"));

    QCOMPARE(lastMessageText(), QStringLiteral("Changes applied successfully"));
    QCOMPARE(lastMessageType(), KMessageWidget::Positive);
    QCOMPARE(answerer.seenTitles(), QStringList {QStringLiteral("Reboot system")});
    QCOMPARE(m_module->stateWidget()->currentState(), KCMOS::Idle);
    QVERIFY(rebootRecord().isEmpty());
}

void DigsigModuleTest::applyDeclinedRunsNothing()
{
    FakeHelperBackend helper;
    m_module->findChild<QComboBox *>(QStringLiteral("comboAttrs"))->setCurrentIndex(0); // "on"
    QSignalSpy changed(m_module, qOverload<bool>(&KCModule::changed));
    ModalAnswerer answerer;
    answerer.press(QDialogButtonBox::No); // enforcement warning
    m_module->change();

    QCOMPARE(answerer.answeredCount(), 1);
    QCOMPARE(answerer.seenTitles(), QStringList {QStringLiteral("Warning")});
    QVERIFY(helper.calls().isEmpty());
    QVERIFY(messages()->messages().isEmpty());
    QCOMPARE(m_module->stateWidget()->currentState(), KCMOS::Idle);
    QVERIFY(changed.isEmpty());
}

void DigsigModuleTest::applyFailureShowsErrorAndKeepsChanges()
{
    FakeHelperBackend helper;
    HelperScript refused;
    refused.error = 4;
    helper.script(ChangeAction, refused);
    auto combo = m_module->findChild<QComboBox *>(QStringLiteral("comboExeFiles"));
    combo->setCurrentIndex(1);
    QSignalSpy changed(m_module, qOverload<bool>(&KCModule::changed));
    ModalAnswerer answerer;
    answerer.press(QDialogButtonBox::No);

    QTest::ignoreMessage(QtCriticalMsg, "Error code 4, text: \"\"!");
    m_module->change();

    QCOMPARE(lastMessageText(), QStringLiteral("Applying changes occurred with errors"));
    QCOMPARE(lastMessageType(), KMessageWidget::Error);
    QCOMPARE(answerer.answeredCount(), 0); // no reboot question after a failure
    QCOMPARE(changed.size(), 1);
    QCOMPARE(changed.last().at(0).toBool(), true);
    QCOMPARE(combo->currentIndex(), 1);
}

void DigsigModuleTest::rebootAnswer_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<QByteArray>("sudoUid");
    QTest::addColumn<QString>("expectedRecord");

    QTest::newRow("no") << int(QDialogButtonBox::No) << QByteArray("1000") << QString();
    QTest::newRow("yes") << int(QDialogButtonBox::Yes) << QByteArray("1000") << QStringLiteral("TOVIWM_REBOOT /run/user/1000");
    QTest::newRow("yes without SUDO_UID") << int(QDialogButtonBox::Yes) << QByteArray() << QStringLiteral("TOVIWM_REBOOT /run/user/");
}

void DigsigModuleTest::rebootAnswer()
{
    QFETCH(int, answer);
    QFETCH(QByteArray, sudoUid);
    QFETCH(QString, expectedRecord);

    if (sudoUid.isEmpty()) {
        qunsetenv("SUDO_UID");
    } else {
        qputenv("SUDO_UID", sudoUid);
    }
    FakeHelperBackend helper;
    ModalAnswerer answerer;
    answerer.press(QDialogButtonBox::StandardButton(answer));
    m_module->change();
    QCOMPARE(answerer.seenTexts(), QStringList {QStringLiteral("To apply settings need reboot system.\nReboot now?")});
    QCOMPARE(rebootRecord(), expectedRecord);
}

void DigsigModuleTest::backgroundUpdateShowsState_data()
{
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("expectedMessage");
    QTest::addColumn<int>("expectedType");

    QTest::newRow("success") << QString() << QStringLiteral("Changes applied successfully") << int(KMessageWidget::Positive);
    QTest::newRow("failure") << QStringLiteral("boot image not written") << QStringLiteral("Applying changes occurred with errors")
                             << int(KMessageWidget::Error);
}

void DigsigModuleTest::backgroundUpdateShowsState()
{
    QFETCH(QString, error);
    QFETCH(QString, expectedMessage);
    QFETCH(int, expectedType);

    auto signing = m_module->findChild<SigningWidget *>();
    Q_EMIT signing->finishUpdate(false, QString());
    QCOMPARE(m_module->stateWidget()->currentState(), KCMOS::Busy);
    QVERIFY(messages()->messages().isEmpty());

    Q_EMIT signing->finishUpdate(true, error);
    QCOMPARE(m_module->stateWidget()->currentState(), KCMOS::Idle);
    QCOMPARE(lastMessageText(), expectedMessage);
    QCOMPARE(int(lastMessageType()), expectedType);
}

// While a long action holds the helper, Apply is withheld and a message says why, also
// about a call that waits; both come back by themselves when the action ends.
void DigsigModuleTest::longActionHoldsApply()
{
    FakeHelperBackend helper;
    HelperScript update;
    update.neverFinishes = true;
    helper.script(ChangeAction, update);
    auto notice = m_module->findChild<QWidget *>(QStringLiteral("helperBusyNotice"));
    auto message = m_module->findChild<KMessageWidget *>(QStringLiteral("helperBusyMessage"));
    QVERIFY(notice && message);
    QVERIFY(!notice->isVisible());
    m_module->findChild<QComboBox *>(QStringLiteral("comboExeFiles"))->setCurrentIndex(1);
    QSignalSpy changed(m_module, qOverload<bool>(&KCModule::changed));

    const QString updating = QStringLiteral("Updating the list of files verified at boot…");
    HelperJob *job = HelperCall::executeLong(HelperCall::action(QStringLiteral("%1.change"), HelperCall::DigsigNamespace), updating);
    job->start();
    QCOMPARE(changed.last().at(0).toBool(), false);
    QVERIFY(notice->isVisible());
    QVERIFY2(message->text().startsWith(updating), qPrintable(message->text()));
    HelperJob *waiting = HelperCall::execute(HelperCall::action(QStringLiteral("%1.keyslist"), HelperCall::DigsigNamespace));
    QVERIFY2(message->text().endsWith(QStringLiteral("A request waits for it.")), qPrintable(message->text()));
    delete waiting;
    QVERIFY(!message->text().contains(QStringLiteral("waits")));

    m_module->change(); // as the host's OK would
    QCOMPARE(helper.callNames(), (QStringList {ChangeAction, QStringLiteral("ru.orlis.kcm.digsig.keyslist")}));
    QCOMPARE(lastMessageType(), KMessageWidget::Warning);

    job->kill(KJob::EmitResult);
    QCOMPARE(changed.last().at(0).toBool(), true);
    QVERIFY(!notice->isVisible());
}

QTEST_MAIN(DigsigModuleTest)
#include "digsigmoduletest.moc"

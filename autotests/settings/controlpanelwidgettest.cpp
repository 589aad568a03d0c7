#include "controlpanelwidget.h"
#include "digsigcontrolpanel.h"
#include "formcheck.h"
#include "modalanswerer.h"
#include "tempconfig.h"

#include <KMessageWidget>

#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>

#include <memory>

namespace {
const QStringList ChoiceNames = {
    QStringLiteral("onlyElf"),
    QStringLiteral("onlyXattr"),
    QStringLiteral("fallback"),
    QStringLiteral("any"),
    QStringLiteral("all"),
};
const QStringList ChoiceTexts = {
    QStringLiteral("Check only ELF signature"),
    QStringLiteral("Check only XATTR signature"),
    QStringLiteral("Checking the first signature type found for a file"),
    QStringLiteral("Checking all types of signatures until the correct one is found"),
    QStringLiteral("Check ELF and XATTR signatures"),
};
const QByteArray Templates = "/usr/\n//bin/dash\n";
const QString WarningText = QStringLiteral("All unsigned files can not be started after reboot system.");

template<typename T>
T *child(const QWidget &parent, const char *name)
{
    return parent.findChild<T *>(QLatin1String(name));
}

void clickRadio(QRadioButton *button)
{
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(8, button->height() / 2));
}

bool lastEmission(const QSignalSpy &spy)
{
    return !spy.isEmpty() && spy.last().at(0).toBool();
}
}

class ControlPanelWidgetTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void cleanupTestCase();

    void form();
    void showsFileValues();
    void comboToolTips_data();
    void comboToolTips();
    void comboEditRaisesAndClearsChange();
    void fileModeOutsideRangeLeavesNoCurrentItem();
    void typingAndDeletingText();
    void choosingFileVerifyModeAgainStaysChanged();
    void riskyVerifyModeWarns_data();
    void riskyVerifyModeWarns();
    void cancelledDialogChangesNothing();
    void dialogFollowsExecutableControl();
    void unknownVerifyMode();
    void detailsToggle();
    void getDataTakesShownValues();
    void resetRestoresFileValues();
    void resetPicksUpChangedFiles();
    void messageFontShrinksOnce();
    void buttonIconsFromTheme();

private:
    std::unique_ptr<ControlPanelWidget> createPanel();
    // Opens the dialog with the pencil button, clicks the choice and closes the dialog.
    // Returns the texts of the warning boxes answered on the way.
    QStringList chooseVerifyMode(ControlPanelWidget &panel, int id, QDialogButtonBox::StandardButton close = QDialogButtonBox::Ok);

    std::unique_ptr<TempConfig> m_config;
    std::unique_ptr<DigSigControlPanel> m_state;
};

void ControlPanelWidgetTest::init()
{
    m_config = std::make_unique<TempConfig>();
    QVERIFY(m_config->isValid());
    DigSigSettingsData::setConfigurationDirectory(m_config->path());
    m_config->writeSettings(TempConfig::settings(1, 2, 2, 1, 0));
    m_config->writeTemplates(Templates);
    m_state = std::make_unique<DigSigControlPanel>();
}

void ControlPanelWidgetTest::cleanup()
{
    m_state.reset();
    m_config.reset();
}

void ControlPanelWidgetTest::cleanupTestCase()
{
    DigSigSettingsData::setConfigurationDirectory(QStringLiteral("/etc/digsig"));
}

std::unique_ptr<ControlPanelWidget> ControlPanelWidgetTest::createPanel()
{
    auto panel = std::make_unique<ControlPanelWidget>(m_state.get(), nullptr);
    panel->show();
    if (!QTest::qWaitForWindowExposed(panel.get())) {
        qWarning("panel not exposed");
    }
    return panel;
}

QStringList ControlPanelWidgetTest::chooseVerifyMode(ControlPanelWidget &panel, int id, QDialogButtonBox::StandardButton close)
{
    ModalAnswerer answerer;
    bool closedAsAsked = false;
    // The choice is clicked from the dialog's own event loop, so that the warning box it
    // may open is answered by the polling answerer.
    answerer.answer([id, close, &closedAsAsked](QWidget *window) {
        auto dialog = qobject_cast<QDialog *>(window);
        QTimer::singleShot(0, dialog, [dialog, id, close, &closedAsAsked]() {
            clickRadio(dialog->findChild<QRadioButton *>(ChoiceNames.at(id)));
            ModalAnswerer::pressButton(dialog, close);
            closedAsAsked = !dialog->isVisible();
            if (!closedAsAsked) {
                dialog->reject(); // a disabled button must fail the test, not hang it
            }
        });
    });
    if (id == 1 || id == 4) {
        answerer.press(QDialogButtonBox::Ok);
    }
    QTest::mouseClick(child<QToolButton>(panel, "verifyModeButton"), Qt::LeftButton);
    if (!closedAsAsked || answerer.pendingCount() != 0) {
        return {QStringLiteral("dialog not answered as expected")};
    }
    return answerer.seenTexts();
}

void ControlPanelWidgetTest::form()
{
    auto panel = createPanel();
    QVERIFY(formMatches(*panel,
        {{QStringLiteral("gBoxControlPanel"), "title", QString()}, {QStringLiteral("labelExeFiles"), "text", QStringLiteral("Control executable files")},
            {QStringLiteral("labelAttrs"), "text", QStringLiteral("Control extended attributes")},
            {QStringLiteral("label_2"), "text", QStringLiteral("Verify mode")},
            {QStringLiteral("label"), "text", QStringLiteral("File templates for extended attributes")},
            {QStringLiteral("pathToDigsigConf"), "text", QStringLiteral("/etc/digsig/xattr_control:")}, {QStringLiteral("lineEdit"), "readOnly", true},
            {QStringLiteral("resetVerifyButton"), "toolTip", QStringLiteral("Reset")}, {QStringLiteral("resetVerifyButton"), "text", QString()},
            {QStringLiteral("resetVerifyButton"), "enabled", false},
            {QStringLiteral("verifyModeButton"), "toolTip", QStringLiteral("Change signature verification mode")},
            {QStringLiteral("verifyModeButton"), "text", QString()}, {QStringLiteral("verifyModeButton"), "enabled", true},
            {QStringLiteral("xattrButton"), "text", QStringLiteral("Show")}, {QStringLiteral("kmessagewidget"), "wordWrap", true},
            {QStringLiteral("kmessagewidget"), "closeButtonVisible", false},
            {QStringLiteral("kmessagewidget"), "text",
                QStringLiteral("To check single files, you should add a slash to the beginning of the path. For example, //bin/dash. To check files and "
                               "subdirectories in a directory, you should add a slash to the end of the path. For example, /usr/")}}));
    QCOMPARE(child<QLabel>(*panel, "pathToDigsigConf")->alignment(), Qt::AlignCenter);
    QVERIFY(child<QTextEdit>(*panel, "textEdit"));

    for (const char *name : {"comboExeFiles", "comboAttrs"}) {
        auto box = child<QComboBox>(*panel, name);
        QCOMPARE(box->count(), 3);
        QCOMPARE(box->itemText(0), QStringLiteral("on"));
        QCOMPARE(box->itemText(1), QStringLiteral("off"));
        QCOMPARE(box->itemText(2), QStringLiteral("debug"));
        QCOMPARE(box->itemData(0).value<ControllMode>(), ControllMode::On);
        QCOMPARE(box->itemData(1).value<ControllMode>(), ControllMode::Off);
        QCOMPARE(box->itemData(2).value<ControllMode>(), ControllMode::Debug);
    }
}

void ControlPanelWidgetTest::showsFileValues()
{
    auto panel = createPanel();
    QCOMPARE(child<QComboBox>(*panel, "comboExeFiles")->currentData().value<ControllMode>(), ControllMode::On);
    QCOMPARE(child<QComboBox>(*panel, "comboAttrs")->currentData().value<ControllMode>(), ControllMode::Debug);
    QCOMPARE(child<QTextEdit>(*panel, "textEdit")->toPlainText(), QString::fromUtf8(Templates));
    QCOMPARE(child<QLineEdit>(*panel, "lineEdit")->text(), ChoiceTexts.at(2));
    QCOMPARE(child<QLineEdit>(*panel, "lineEdit")->toolTip(), ChoiceTexts.at(2));
    QCOMPARE(panel->currentVerifyText(), ChoiceTexts.at(2));
    QVERIFY(!panel->hasChangedData());
}

void ControlPanelWidgetTest::comboToolTips_data()
{
    QTest::addColumn<int>("elfMode");
    QTest::addColumn<int>("xattrMode");
    QTest::addColumn<QString>("exeToolTip");
    QTest::addColumn<QString>("attrsToolTip");
    const QString debug = QStringLiteral("System will issue warnings about unsigned files");
    const QString enableExe = QStringLiteral("Enable cheking executable files");
    const QString disableExe = QStringLiteral("Disable cheking executable files");
    const QString enableAttrs = QStringLiteral("Enable control externded attributes files");
    const QString disableAttrs = QStringLiteral("Disable control externded attributes files");
    QTest::newRow("on, off") << 1 << 0 << enableExe << disableAttrs;
    QTest::newRow("off, on") << 0 << 1 << disableExe << enableAttrs;
    QTest::newRow("debug, debug") << 2 << 2 << debug << debug;
    QTest::newRow("invalid reads as off") << 5 << 9 << disableExe << disableAttrs;
}

void ControlPanelWidgetTest::comboToolTips()
{
    QFETCH(int, elfMode);
    QFETCH(int, xattrMode);
    QFETCH(QString, exeToolTip);
    QFETCH(QString, attrsToolTip);
    m_config->writeSettings(TempConfig::settings(elfMode, xattrMode, 0));
    auto panel = createPanel();
    auto exe = child<QComboBox>(*panel, "comboExeFiles");
    auto attrs = child<QComboBox>(*panel, "comboAttrs");
    QCOMPARE(exe->toolTip(), exeToolTip);
    QCOMPARE(attrs->toolTip(), attrsToolTip);
    QCOMPARE(exe->itemData(0, Qt::ToolTipRole).toString(), QStringLiteral("Enable cheking executable files"));
    QCOMPARE(exe->itemData(1, Qt::ToolTipRole).toString(), QStringLiteral("Disable cheking executable files"));
    QCOMPARE(exe->itemData(2, Qt::ToolTipRole).toString(), QStringLiteral("System will issue warnings about unsigned files"));
    QCOMPARE(attrs->itemData(0, Qt::ToolTipRole).toString(), QStringLiteral("Enable control externded attributes files"));
    QCOMPARE(attrs->itemData(1, Qt::ToolTipRole).toString(), QStringLiteral("Disable control externded attributes files"));
    QCOMPARE(attrs->itemData(2, Qt::ToolTipRole).toString(), QStringLiteral("System will issue warnings about unsigned files"));
}

void ControlPanelWidgetTest::comboEditRaisesAndClearsChange()
{
    auto panel = createPanel();
    QSignalSpy spy(m_state.get(), &DigSigControlPanel::modifyed);
    for (const char *name : {"comboExeFiles", "comboAttrs"}) {
        auto box = child<QComboBox>(*panel, name);
        const int fileIndex = box->currentIndex();
        box->setFocus();
        QTest::keyClick(box, fileIndex == 0 ? Qt::Key_Down : Qt::Key_Up);
        QVERIFY(box->currentIndex() != fileIndex);
        QVERIFY(lastEmission(spy));
        QVERIFY(panel->hasChangedData());
        QTest::keyClick(box, fileIndex == 0 ? Qt::Key_Up : Qt::Key_Down);
        QCOMPARE(box->currentIndex(), fileIndex);
        QVERIFY(!lastEmission(spy));
    }
    QCOMPARE(spy.count(), 4);

    auto exe = child<QComboBox>(*panel, "comboExeFiles");
    QTest::keyClick(exe, Qt::Key_Down);
    QCOMPARE(exe->toolTip(), QStringLiteral("Disable cheking executable files"));
}

void ControlPanelWidgetTest::fileModeOutsideRangeLeavesNoCurrentItem()
{
    m_config->writeSettings(TempConfig::settings(7, 1, 0));
    auto panel = createPanel();
    auto exe = child<QComboBox>(*panel, "comboExeFiles");
    QCOMPARE(exe->currentIndex(), -1);
    QCOMPARE(exe->toolTip(), QStringLiteral("Disable cheking executable files"));
    QCOMPARE(panel->getData().elfMode(), ControllMode::Off);

    // The first edit anywhere reports a change, even when it is undone.
    QSignalSpy spy(m_state.get(), &DigSigControlPanel::modifyed);
    auto textEdit = child<QTextEdit>(*panel, "textEdit");
    child<QPushButton>(*panel, "xattrButton")->click();
    textEdit->setFocus();
    QTest::keyClick(textEdit, Qt::Key_X);
    QTest::keyClick(textEdit, Qt::Key_Backspace);
    QCOMPARE(spy.count(), 2);
    QVERIFY(lastEmission(spy));
}

void ControlPanelWidgetTest::typingAndDeletingText()
{
    auto panel = createPanel();
    QSignalSpy spy(m_state.get(), &DigSigControlPanel::modifyed);
    child<QPushButton>(*panel, "xattrButton")->click();
    auto textEdit = child<QTextEdit>(*panel, "textEdit");
    textEdit->setFocus();
    textEdit->moveCursor(QTextCursor::End);
    QTest::keyClicks(textEdit, QStringLiteral("/opt"));
    QCOMPARE(spy.count(), 4);
    QVERIFY(lastEmission(spy));
    QCOMPARE(textEdit->toPlainText(), QString::fromUtf8(Templates) + QStringLiteral("/opt"));
    for (int i = 0; i < 4; ++i) {
        QTest::keyClick(textEdit, Qt::Key_Backspace);
    }
    QCOMPARE(spy.count(), 8);
    QVERIFY(!lastEmission(spy));
    QVERIFY(!panel->hasChangedData());
}

void ControlPanelWidgetTest::choosingFileVerifyModeAgainStaysChanged()
{
    auto panel = createPanel();
    QSignalSpy spy(m_state.get(), &DigSigControlPanel::modifyed);
    auto resetButton = child<QAbstractButton>(*panel, "resetVerifyButton");
    auto lineEdit = child<QLineEdit>(*panel, "lineEdit");

    QCOMPARE(chooseVerifyMode(*panel, 3), QStringList());
    QCOMPARE(spy.count(), 1);
    QVERIFY(lastEmission(spy));
    QCOMPARE(lineEdit->text(), ChoiceTexts.at(3));
    QCOMPARE(lineEdit->toolTip(), ChoiceTexts.at(3));
    QVERIFY(resetButton->isEnabled());
    QCOMPARE(panel->getData().verifyMode(), VerificationModeId::Any);

    // Back to the file's own mode: still reported as changed until "Reset".
    QCOMPARE(chooseVerifyMode(*panel, 2), QStringList());
    QCOMPARE(spy.count(), 2);
    QVERIFY(lastEmission(spy));
    QCOMPARE(lineEdit->text(), ChoiceTexts.at(2));
    QVERIFY(resetButton->isEnabled());

    QTest::mouseClick(resetButton, Qt::LeftButton);
    QCOMPARE(spy.count(), 3);
    QVERIFY(!lastEmission(spy));
    QVERIFY(!resetButton->isEnabled());
    QCOMPARE(lineEdit->text(), ChoiceTexts.at(2));
}

void ControlPanelWidgetTest::riskyVerifyModeWarns_data()
{
    QTest::addColumn<int>("id");
    QTest::newRow("onlyXattr") << 1;
    QTest::newRow("all") << 4;
}

void ControlPanelWidgetTest::riskyVerifyModeWarns()
{
    QFETCH(int, id);
    auto panel = createPanel();
    QCOMPARE(chooseVerifyMode(*panel, id), QStringList {WarningText});
    QCOMPARE(child<QLineEdit>(*panel, "lineEdit")->text(), ChoiceTexts.at(id));
    QCOMPARE(panel->getData().verifyMode(), static_cast<VerificationModeId>(id));
}

void ControlPanelWidgetTest::cancelledDialogChangesNothing()
{
    auto panel = createPanel();
    QSignalSpy spy(m_state.get(), &DigSigControlPanel::modifyed);
    QCOMPARE(chooseVerifyMode(*panel, 0, QDialogButtonBox::Cancel), QStringList());
    QCOMPARE(spy.count(), 0);
    QCOMPARE(child<QLineEdit>(*panel, "lineEdit")->text(), ChoiceTexts.at(2));
    QVERIFY(!child<QAbstractButton>(*panel, "resetVerifyButton")->isEnabled());
    QCOMPARE(panel->getData().verifyMode(), VerificationModeId::Fallback);
}

void ControlPanelWidgetTest::dialogFollowsExecutableControl()
{
    auto panel = createPanel();
    auto exe = child<QComboBox>(*panel, "comboExeFiles");
    exe->setFocus();
    QTest::keyClick(exe, Qt::Key_Down); // "off"

    bool choicesEnabled = true;
    bool fileModeChecked = false;
    ModalAnswerer answerer;
    answerer.answer([&](QWidget *dialog) {
        choicesEnabled = dialog->findChild<QRadioButton *>(ChoiceNames.at(0))->isEnabled();
        fileModeChecked = dialog->findChild<QRadioButton *>(ChoiceNames.at(2))->isChecked();
        ModalAnswerer::pressButton(dialog, QDialogButtonBox::Cancel);
    });
    QTest::mouseClick(child<QToolButton>(*panel, "verifyModeButton"), Qt::LeftButton);
    QCOMPARE(answerer.answeredCount(), 1);
    QVERIFY(!choicesEnabled);
    QVERIFY(fileModeChecked);
}

void ControlPanelWidgetTest::unknownVerifyMode()
{
    m_config->writeSettings(TempConfig::settings(1, 1, 9));
    auto panel = createPanel();
    QCOMPARE(child<QLineEdit>(*panel, "lineEdit")->text(), QStringLiteral("Unknown"));
    QCOMPARE(panel->getData().verifyMode(), VerificationModeId::Invalid);
    QVERIFY(!panel->hasChangedData());

    QCOMPARE(chooseVerifyMode(*panel, 0), QStringList());
    QCOMPARE(panel->getData().verifyMode(), VerificationModeId::OnlyElf);
    QCOMPARE(child<QLineEdit>(*panel, "lineEdit")->text(), ChoiceTexts.at(0));
    QTest::mouseClick(child<QAbstractButton>(*panel, "resetVerifyButton"), Qt::LeftButton);
    QCOMPARE(panel->getData().verifyMode(), VerificationModeId::Invalid);
    QCOMPARE(child<QLineEdit>(*panel, "lineEdit")->text(), QStringLiteral("Unknown"));
}

void ControlPanelWidgetTest::detailsToggle()
{
    auto panel = createPanel();
    auto button = child<QPushButton>(*panel, "xattrButton");
    const QList<QWidget *> details = {
        child<QWidget>(*panel, "pathToDigsigConf"),
        child<QWidget>(*panel, "textEdit"),
        child<QWidget>(*panel, "kmessagewidget"),
    };
    for (QWidget *widget : details) {
        QVERIFY(!widget->isVisible());
    }
    QVERIFY(!button->icon().isNull());

    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(button->text(), QStringLiteral("Hide"));
    for (QWidget *widget : details) {
        QVERIFY(widget->isVisible());
    }

    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(button->text(), QStringLiteral("Show"));
    for (QWidget *widget : details) {
        QVERIFY(!widget->isVisible());
    }
}

void ControlPanelWidgetTest::getDataTakesShownValues()
{
    auto panel = createPanel();
    auto exe = child<QComboBox>(*panel, "comboExeFiles");
    auto attrs = child<QComboBox>(*panel, "comboAttrs");
    exe->setFocus();
    QTest::keyClick(exe, Qt::Key_End); // "debug"
    attrs->setFocus();
    QTest::keyClick(attrs, Qt::Key_Up); // "off"
    child<QPushButton>(*panel, "xattrButton")->click();
    auto textEdit = child<QTextEdit>(*panel, "textEdit");
    textEdit->setFocus();
    textEdit->moveCursor(QTextCursor::End);
    QTest::keyClicks(textEdit, QStringLiteral("/opt/"));

    DigSigSettingsData data = panel->getData();
    QCOMPARE(data.elfMode(), ControllMode::Debug);
    QCOMPARE(data.xattrMode(), ControllMode::Off);
    QCOMPARE(data.ignoreXattrkeys(), true);
    QCOMPARE(data.ignoreGost2001(), false);
    QCOMPARE(data.xattrControlContent(), QString::fromUtf8(Templates) + QStringLiteral("/opt/"));
    QCOMPARE(data.verifyMode(), VerificationModeId::Fallback);
    QVERIFY(data.errorMessages().isEmpty());

    // The flags the panel cannot edit come from the files as they are now.
    m_config->writeSettings(TempConfig::settings(1, 2, 2, 0, 1));
    data = panel->getData();
    QCOMPARE(data.ignoreXattrkeys(), false);
    QCOMPARE(data.ignoreGost2001(), true);
    QCOMPARE(data.elfMode(), ControllMode::Debug);
}

void ControlPanelWidgetTest::resetRestoresFileValues()
{
    auto panel = createPanel();
    auto exe = child<QComboBox>(*panel, "comboExeFiles");
    QCOMPARE(chooseVerifyMode(*panel, 0), QStringList());
    exe->setFocus();
    QTest::keyClick(exe, Qt::Key_Down);
    child<QPushButton>(*panel, "xattrButton")->click();
    auto textEdit = child<QTextEdit>(*panel, "textEdit");
    textEdit->setFocus();
    QTest::keyClicks(textEdit, QStringLiteral("x"));
    QVERIFY(panel->hasChangedData());

    QSignalSpy spy(m_state.get(), &DigSigControlPanel::modifyed);
    panel->reset();
    QVERIFY(!spy.isEmpty());
    QVERIFY(!lastEmission(spy));
    QVERIFY(!panel->hasChangedData());
    QCOMPARE(exe->currentData().value<ControllMode>(), ControllMode::On);
    QCOMPARE(exe->count(), 3);
    QCOMPARE(child<QComboBox>(*panel, "comboAttrs")->count(), 3);
    QCOMPARE(textEdit->toPlainText(), QString::fromUtf8(Templates));
    QCOMPARE(child<QLineEdit>(*panel, "lineEdit")->text(), ChoiceTexts.at(2));
    QVERIFY(!child<QAbstractButton>(*panel, "resetVerifyButton")->isEnabled());
    QCOMPARE(child<QPushButton>(*panel, "xattrButton")->text(), QStringLiteral("Show"));
    QVERIFY(!textEdit->isVisible());

    // The details still open and close after a reset.
    child<QPushButton>(*panel, "xattrButton")->click();
    QVERIFY(textEdit->isVisible());
}

void ControlPanelWidgetTest::resetPicksUpChangedFiles()
{
    auto panel = createPanel();
    m_config->writeSettings(TempConfig::settings(0, 1, 4));
    m_config->writeTemplates("/opt/\n");
    QVERIFY(panel->hasChangedData());

    QSignalSpy spy(m_state.get(), &DigSigControlPanel::modifyed);
    panel->reset();
    QVERIFY(!lastEmission(spy));
    QCOMPARE(child<QComboBox>(*panel, "comboExeFiles")->currentData().value<ControllMode>(), ControllMode::Off);
    QCOMPARE(child<QComboBox>(*panel, "comboAttrs")->currentData().value<ControllMode>(), ControllMode::On);
    QCOMPARE(child<QTextEdit>(*panel, "textEdit")->toPlainText(), QStringLiteral("/opt/\n"));
    QCOMPARE(child<QLineEdit>(*panel, "lineEdit")->text(), ChoiceTexts.at(4));
}

void ControlPanelWidgetTest::messageFontShrinksOnce()
{
    const int defaultSize = QFont().pointSize();
    if (defaultSize <= 1) {
        QSKIP("the default font has no point size to shrink");
    }
    const int expected = static_cast<int>(defaultSize / 1.15);
    auto panel = createPanel();
    auto message = child<KMessageWidget>(*panel, "kmessagewidget");
    QCOMPARE(message->font().pointSize(), expected);
    panel->reset();
    panel->reset();
    QCOMPARE(message->font().pointSize(), expected);
}

void ControlPanelWidgetTest::buttonIconsFromTheme()
{
    const QString previousTheme = QIcon::themeName();
    // The offscreen platform knows no desktop theme; look where the system keeps them.
    QIcon::setThemeSearchPaths(QIcon::themeSearchPaths() << QStringLiteral("/usr/share/icons"));
    QIcon::setThemeName(QStringLiteral("breeze"));
    if (!QIcon::hasThemeIcon(QStringLiteral("document-edit"))) {
        QIcon::setThemeName(previousTheme);
        QSKIP("the breeze icon theme is not installed");
    }
    auto panel = createPanel();
    QVERIFY(!child<QAbstractButton>(*panel, "verifyModeButton")->icon().isNull());
    QVERIFY(!child<QAbstractButton>(*panel, "resetVerifyButton")->icon().isNull());
    QIcon::setThemeName(previousTheme);
}

QTEST_MAIN(ControlPanelWidgetTest)

#include "controlpanelwidgettest.moc"

#include "controlpanelwidget.h"
#include "ui_controlpanelwidget.h"

#include "digsigcontrolpanel.h"
#include "verifymodedialog.h"

#include <KLocalizedString>

#include <QIcon>
#include <QStyle>

#include <tuple>

namespace {
const char Domain[] = "orlis_kcm_digsig";
// The hint below the templates reads as a footnote.
constexpr double MessageFontShrink = 1.15;
}

ControlPanelWidget::ControlPanelWidget(DigSigControlPanel *panel, QWidget *parent)
    : QWidget(parent)
    , m_ui(std::make_unique<Ui::ControlPanelWidget>())
    , m_panel(panel)
{
    m_ui->setupUi(this);
    // Not every icon theme has "pencil".
    if (!QIcon::hasThemeIcon(QStringLiteral("pencil"))) {
        m_ui->verifyModeButton->setIcon(QIcon::fromTheme(QStringLiteral("document-edit")));
    }
    m_selectedVerifyMode = m_panel->data().verifyMode();
    setupWidgets();
    connectEdits();
}

ControlPanelWidget::~ControlPanelWidget() = default;

void ControlPanelWidget::connectEdits()
{
    for (QComboBox *box : {m_ui->comboExeFiles, m_ui->comboAttrs}) {
        connect(
            box, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this, box]() {
                m_panel->changedPanel(hasChangedData());
                comboSetupToolTip(box);
            },
            Qt::DirectConnection);
    }
    connect(
        m_ui->textEdit, &QTextEdit::textChanged, this, [this]() { m_panel->changedPanel(hasChangedData()); }, Qt::DirectConnection);
    connect(m_ui->xattrButton, &QAbstractButton::clicked, this, &ControlPanelWidget::toggleDetails, Qt::DirectConnection);
    connect(m_ui->verifyModeButton, &QAbstractButton::clicked, this, &ControlPanelWidget::selectVerifyMode);
    connect(m_ui->resetVerifyButton, &QAbstractButton::clicked, this, &ControlPanelWidget::resetVerify);
    connect(m_ui->checkSignaturesButton, &QAbstractButton::clicked, this, &ControlPanelWidget::checkSignaturesRequested);
    connect(m_panel, &DigSigControlPanel::filesWritten, this, &ControlPanelWidget::followFiles);
}

DigSigSettingsData ControlPanelWidget::getData() const
{
    const DigSigSettingsData fileData = m_panel->data();
    DigSigSettingsData data;
    data.setElfMode(currentMode(m_ui->comboExeFiles));
    data.setXattrMode(currentMode(m_ui->comboAttrs));
    data.setIgnoreXattrKeys(fileData.ignoreXattrkeys());
    data.setIgnoreGost2001(fileData.ignoreGost2001());
    data.setXattrControlContent(m_ui->textEdit->toPlainText());
    data.setVerifyMode(m_selectedVerifyMode);
    return data;
}

bool ControlPanelWidget::hasChangedData() const
{
    const DigSigSettingsData fileData = m_panel->data();
    return currentMode(m_ui->comboExeFiles) != fileData.elfMode() //
        || currentMode(m_ui->comboAttrs) != fileData.xattrMode() //
        || m_ui->textEdit->toPlainText() != fileData.xattrControlContent() //
        || m_selectedVerifyMode != fileData.verifyMode();
}

void ControlPanelWidget::reset()
{
    m_ui->comboExeFiles->clear();
    m_ui->comboAttrs->clear();
    // setupWidgets() shrinks the font again; start from the default so it does not compound.
    m_ui->kmessagewidget->setFont(QFont());
    m_detailWidgets.clear();
    m_detailsShown = false;
    resetVerify();
    setupWidgets();
}

void ControlPanelWidget::followFiles()
{
    const DigSigSettingsData files = m_panel->data();
    for (const auto &[box, loaded, now] : {std::make_tuple(m_ui->comboExeFiles, m_loaded.elfMode(), files.elfMode()),
             std::make_tuple(m_ui->comboAttrs, m_loaded.xattrMode(), files.xattrMode())}) {
        if (!isEdited(box, loaded)) {
            box->setCurrentIndex(box->findData(QVariant::fromValue(now)));
        }
    }
    if (m_ui->textEdit->toPlainText() == m_loaded.xattrControlContent()) {
        m_ui->textEdit->setPlainText(files.xattrControlContent());
    }
    if (!m_ui->resetVerifyButton->isEnabled()) {
        m_selectedVerifyMode = files.verifyMode();
        showVerifyText(currentVerifyText());
    }
    m_loaded = files;
    m_panel->changedPanel(hasChangedData());
}

bool ControlPanelWidget::isEdited(const QComboBox *box, ControllMode loaded)
{
    return box->currentIndex() != box->findData(QVariant::fromValue(loaded));
}

void ControlPanelWidget::selectVerifyMode()
{
    VerifyModeDialog dialog(m_selectedVerifyMode, currentMode(m_ui->comboExeFiles), this);
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    m_selectedVerifyMode = static_cast<VerificationModeId>(dialog.selectedId());
    // Choosing the file's own mode again still counts as an edit until "Reset".
    m_panel->changedPanel(true);
    showVerifyText(dialog.selectedTextByModeId(m_selectedVerifyMode));
    m_ui->resetVerifyButton->setEnabled(true);
}

void ControlPanelWidget::resetVerify()
{
    m_selectedVerifyMode = m_panel->data().verifyMode();
    m_panel->changedPanel(hasChangedData());
    showVerifyText(currentVerifyText());
    m_ui->resetVerifyButton->setEnabled(false);
}

void ControlPanelWidget::comboSetupToolTip(QComboBox *box) const
{
    for (int index = 0; index < box->count(); ++index) {
        const auto mode = box->itemData(index).value<ControllMode>();
        box->setItemData(index, modeToolTip(box, mode), Qt::ToolTipRole);
    }
    box->setToolTip(modeToolTip(box, currentMode(box)));
}

QString ControlPanelWidget::currentVerifyText() const
{
    const DigSigSettingsData fileData = m_panel->data();
    const VerifyModeDialog dialog(fileData.verifyMode(), fileData.elfMode());
    return dialog.selectedTextByModeId(m_selectedVerifyMode);
}

void ControlPanelWidget::setupWidgets()
{
    const DigSigSettingsData fileData = m_panel->data();
    m_loaded = fileData;
    setupCombo(m_ui->comboExeFiles, fileData.elfMode());
    setupCombo(m_ui->comboAttrs, fileData.xattrMode());
    m_ui->textEdit->setPlainText(fileData.xattrControlContent());
    shrinkMessageFont();
    collapseDetails();
    showVerifyText(currentVerifyText());
}

void ControlPanelWidget::setupCombo(QComboBox *box, ControllMode fileMode)
{
    box->addItem(i18nd(Domain, "on"), QVariant::fromValue(ControllMode::On));
    box->addItem(i18nd(Domain, "off"), QVariant::fromValue(ControllMode::Off));
    box->addItem(i18nd(Domain, "debug"), QVariant::fromValue(ControllMode::Debug));
    box->setCurrentIndex(box->findData(QVariant::fromValue(fileMode)));
    comboSetupToolTip(box);
}

void ControlPanelWidget::shrinkMessageFont()
{
    const QFont current = m_ui->kmessagewidget->font();
    const int pointSize = static_cast<int>(current.pointSize() / MessageFontShrink);
    // A font given in pixels has no point size to shrink.
    if (pointSize > 0) {
        m_ui->kmessagewidget->setFont(QFont(current.family(), pointSize));
    }
}

void ControlPanelWidget::collapseDetails()
{
    m_detailWidgets = {m_ui->pathToDigsigConf, m_ui->textEdit, m_ui->kmessagewidget};
    m_ui->xattrButton->setIcon(style()->standardIcon(QStyle::SP_TitleBarUnshadeButton));
    m_ui->xattrButton->setText(i18nd(Domain, "Show"));
    for (QWidget *widget : qAsConst(m_detailWidgets)) {
        widget->hide();
    }
    m_detailsShown = false;
}

void ControlPanelWidget::toggleDetails()
{
    if (m_detailsShown) {
        m_ui->xattrButton->setText(i18nd(Domain, "Show"));
        m_ui->xattrButton->setIcon(style()->standardIcon(QStyle::SP_TitleBarUnshadeButton));
    } else {
        m_ui->xattrButton->setText(i18nd(Domain, "Hide"));
        m_ui->xattrButton->setIcon(style()->standardIcon(QStyle::SP_TitleBarShadeButton));
    }
    for (QWidget *widget : qAsConst(m_detailWidgets)) {
        widget->setVisible(!m_detailsShown);
    }
    m_detailsShown = !m_detailsShown;
}

void ControlPanelWidget::showVerifyText(const QString &text)
{
    m_ui->lineEdit->setText(text);
    m_ui->lineEdit->setToolTip(text);
}

QString ControlPanelWidget::modeToolTip(const QComboBox *box, ControllMode mode) const
{
    if (mode == ControllMode::Debug) {
        return i18nd(Domain, "System will issue warnings about unsigned files");
    }
    const QString action = mode == ControllMode::On ? i18nd(Domain, "Enable") : i18nd(Domain, "Disable");
    const QString subject = box == m_ui->comboAttrs ? i18nd(Domain, "control externded attributes") : i18nd(Domain, "cheking executable");
    return i18nd(Domain, "%1 %2 files", action, subject);
}

ControllMode ControlPanelWidget::currentMode(const QComboBox *box)
{
    if (box->currentIndex() < 0) {
        return ControllMode::Off;
    }
    return box->currentData().value<ControllMode>();
}

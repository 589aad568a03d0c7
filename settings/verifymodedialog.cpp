#include "verifymodedialog.h"
#include "ui_verifymodedialog.h"

#include <KLocalizedString>

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>

VerifyModeDialog::VerifyModeDialog(VerificationModeId initialMode, ControllMode elfMode, QWidget *parent)
    : QDialog(parent)
    , m_ui(std::make_unique<Ui::VerifyModeDialog>())
    , m_initialMode(initialMode)
{
    m_ui->setupUi(this);
    m_ui->buttonBox->button(QDialogButtonBox::Ok)->setEnabled(false);
    setupChoices();

    const QIcon warningIcon = style()->standardIcon(QStyle::SP_MessageBoxWarning);
    m_ui->onlyXattr->setIcon(warningIcon);
    m_ui->all->setIcon(warningIcon);

    if (elfMode != ControllMode::Off) {
        m_ui->kmessagewidget->hide();
        adjustSize();
    } else {
        const auto buttons = m_choices.buttons();
        for (QAbstractButton *button : buttons) {
            button->setEnabled(false);
        }
    }

    connect(m_ui->buttonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_ui->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(&m_choices, &QButtonGroup::idClicked, this, &VerifyModeDialog::onChoiceClicked);
}

VerifyModeDialog::~VerifyModeDialog() = default;

int VerifyModeDialog::selectedId() const
{
    return m_choices.checkedId();
}

QString VerifyModeDialog::selectedTextByModeId(VerificationModeId mode) const
{
    if (QAbstractButton *button = m_choices.button(static_cast<int>(mode))) {
        // Once shown, the choices carry the accelerator marks that the desktop gave them.
        return KLocalizedString::removeAcceleratorMarker(button->text());
    }
    return i18nd("orlis_kcm_digsig", "Unknown");
}

void VerifyModeDialog::setupChoices()
{
    m_choices.addButton(m_ui->onlyElf, static_cast<int>(VerificationModeId::OnlyElf));
    m_choices.addButton(m_ui->onlyXattr, static_cast<int>(VerificationModeId::OnlyXattr));
    m_choices.addButton(m_ui->fallback, static_cast<int>(VerificationModeId::Fallback));
    m_choices.addButton(m_ui->any, static_cast<int>(VerificationModeId::Any));
    m_choices.addButton(m_ui->all, static_cast<int>(VerificationModeId::All));
    if (QAbstractButton *initial = m_choices.button(static_cast<int>(m_initialMode))) {
        initial->setChecked(true);
    }
}

void VerifyModeDialog::onChoiceClicked(int id)
{
    m_ui->buttonBox->button(QDialogButtonBox::Ok)->setEnabled(id != static_cast<int>(m_initialMode));
    const auto mode = static_cast<VerificationModeId>(id);
    if (mode == VerificationModeId::OnlyXattr || mode == VerificationModeId::All) {
        QMessageBox::warning(this, i18nd("orlis_kcm_digsig", "Warning"),
            i18nd("orlis_kcm_digsig", "All unsigned files can not be started after reboot system."), QMessageBox::Ok);
    }
}

#include "selectkeydialog.h"
#include "ui_selectkeydialog.h"

#include "keydialog.h"
#include "keymanager.h"
#include "kgpglauncher.h"

#include <KLocalizedString>

#include <QPushButton>

namespace {
const char Domain[] = "orlis_kcm_digsig";
constexpr int ShownFingerprintLength = 10;

}

SelectKeyDialog::SelectKeyDialog(KeyManager *keyManager, Bsign::SignMode mode, QWidget *parent)
    : QDialog(parent)
    , m_keyManager(keyManager)
    , m_mode(mode)
    , m_ui(new Ui::SelectKeyDialog)
{
    m_ui->setupUi(this);
    setWindowTitle(i18nd(Domain, "Key selection"));
    populateKeysCombobox();
    connect(m_ui->_createKeyPushButton, &QPushButton::clicked, this, &SelectKeyDialog::showCreateKeyDialog);
    connect(m_ui->_openKeyManagerPushButton, &QPushButton::clicked, this, &SelectKeyDialog::openKeyManager);
    if (m_mode == Bsign::XattrOnly) {
        hideWarning();
    }
    connect(m_ui->_dialogButtonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_ui->_dialogButtonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

SelectKeyDialog::~SelectKeyDialog()
{
    delete m_ui;
}

QString SelectKeyDialog::selectedKeyID() const
{
    return m_ui->keysComboBox->currentData().toString();
}

bool SelectKeyDialog::saveLog() const
{
    return m_ui->_saveLogCheckBox->isChecked();
}

void SelectKeyDialog::showCreateKeyDialog()
{
    KeyDialog dialog(m_keyManager, this);
    dialog.exec();
    populateKeysCombobox();
}

void SelectKeyDialog::populateKeysCombobox()
{
    m_ui->keysComboBox->clear();
    const QList<KeyInfo> keys = m_keyManager->keys();
    for (const KeyInfo &key : keys) {
        const QString shortFingerprint = QStringLiteral(" [%1]").arg(key.fingerPrint().right(ShownFingerprintLength));
        // A user id that several keys share comes with the short fingerprint already.
        const QString text = key.userId().endsWith(shortFingerprint) ? key.userId() : key.userId() + shortFingerprint;
        m_ui->keysComboBox->addItem(text, key.fingerPrint());
    }
    m_ui->keysComboBox->setCurrentIndex(m_ui->keysComboBox->count() - 1);
    enableOkButton();
}

void SelectKeyDialog::enableOkButton()
{
    m_ui->_dialogButtonBox->button(QDialogButtonBox::Ok)->setEnabled(m_ui->keysComboBox->count() > 0);
}

void SelectKeyDialog::openKeyManager()
{
    if (KgpgLauncher::open()) {
        populateKeysCombobox();
    }
}

// Without the warning the dialog gets shorter, not narrower.
void SelectKeyDialog::hideWarning()
{
    m_ui->kmessagewidget->hide();
    const int width = this->width();
    adjustSize();
    resize(width, height());
}

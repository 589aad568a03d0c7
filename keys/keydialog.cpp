#include "keydialog.h"
#include "ui_keydialog.h"

#include "keymanager.h"

#include <KLocalizedString>

#include <QMessageBox>
#include <QRegularExpression>
#include <QRegularExpressionValidator>

namespace {
constexpr int MinimumNameLength = 5;
const QString CompleteAddress = QStringLiteral("^[\\w.+\\-]+@[\\w\\-]+(\\.[\\w\\-]+)+$");

// Letters and word characters of any script count, not only ASCII ones.
QRegularExpressionValidator *unicodeValidator(const QString &pattern, QObject *parent)
{
    return new QRegularExpressionValidator(QRegularExpression(pattern, QRegularExpression::UseUnicodePropertiesOption), parent);
}

void showMessage(const QString &text, const QString &informativeText = QString())
{
    QMessageBox box;
    box.setText(text);
    box.setInformativeText(informativeText);
    box.exec();
}
}

KeyDialog::KeyDialog(KeyManager *keyManager, QWidget *parent)
    : QDialog(parent)
    , m_keyManager(keyManager)
    , m_ui(new Ui_KeyDialog)
{
    m_ui->setupUi(this);
    installValidators();
    connectKeyManager();
    connect(m_ui->dialogButtonBox, &QDialogButtonBox::accepted, this, &KeyDialog::accept);
    connect(m_ui->dialogButtonBox, &QDialogButtonBox::rejected, this, &KeyDialog::reject);
}

KeyDialog::~KeyDialog()
{
    delete m_ui;
}

bool KeyDialog::correctNameSize()
{
    if (m_ui->nameLineEdit->text().length() >= MinimumNameLength) {
        return true;
    }
    showMessage(i18nd("orlis_kcm_digsig", "Name shouldn't be shorter than 5 characters."));
    return false;
}

void KeyDialog::accept()
{
    if (!correctNameSize() || !correctEmail()) {
        return;
    }
    const QMap<QString, QString> parameters = {
        {QStringLiteral("Name-Real"), m_ui->nameLineEdit->text()},
        {QStringLiteral("Name-Email"), m_ui->emailLineEdit->text()},
        {QStringLiteral("Name-Comment"), m_ui->commentLineEdit->text()},
    };
    // The outcome arrives later through the manager's signals, or not at all when the
    // authorisation was refused.
    m_keyManager->keyGeneration(parameters);
}

void KeyDialog::reject()
{
    if (m_keyManager->isKeyGenerationRunning()) {
        return;
    }
    QDialog::reject();
}

// Real names hold hyphens, apostrophes and dots ("Jean-Pierre O'Neil", double surnames), and
// addresses dots, hyphens and several domain labels; control characters stay out of both.
void KeyDialog::installValidators()
{
    m_ui->nameLineEdit->setValidator(unicodeValidator(QStringLiteral("^[[:alpha:]][\\w '\u2019.\\-]*$"), this));
    m_ui->emailLineEdit->setValidator(unicodeValidator(CompleteAddress, this));
}

bool KeyDialog::correctEmail()
{
    const QString address = m_ui->emailLineEdit->text();
    if (address.isEmpty() || QRegularExpression(CompleteAddress, QRegularExpression::UseUnicodePropertiesOption).match(address).hasMatch()) {
        return true;
    }
    m_ui->creationLabel->setText(i18nd("orlis_kcm_digsig", "Enter a complete e-mail address, such as name@example.org, or leave the field empty."));
    m_ui->creationLabel->show();
    m_ui->emailLineEdit->setFocus();
    return false;
}

void KeyDialog::connectKeyManager()
{
    connect(m_keyManager, &KeyManager::keyGenerationStarted, this, &KeyDialog::showCreationRunning);
    connect(m_keyManager, &KeyManager::keyGenerationStillRunning, this, &KeyDialog::showStillRunning);
    connect(m_keyManager, &KeyManager::keyGenerationError, this, &KeyDialog::showGenerationError);
    connect(m_keyManager, &KeyManager::keyGenerationEnded, this, &KeyDialog::showGenerationSuccess);
}

void KeyDialog::showCreationRunning()
{
    setEnabled(false);
    m_ui->creationLabel->setText(i18nd("orlis_kcm_digsig", "Creating the key. Enter the pass phrase in the window that asks for it."));
    m_ui->creationLabel->show();
}

void KeyDialog::showStillRunning()
{
    m_ui->creationLabel->setText(i18nd("orlis_kcm_digsig", "The key generation program is still running. Waiting for it to finish…"));
}

void KeyDialog::showGenerationError(const QString &error)
{
    m_ui->creationLabel->hide();
    showMessage(i18nd("orlis_kcm_digsig", "Key generation error:"), error);
    setEnabled(true);
}

void KeyDialog::showGenerationSuccess(const QString &fingerprint)
{
    showMessage(i18nd("orlis_kcm_digsig", "Key generated successfully."), i18nd("orlis_kcm_digsig", "Fingerprint: ") + fingerprint);
    QDialog::accept();
}

#include "keyswidget.h"
#include "ui_keyswidget.h"

#include "helperactivity.h"
#include "helpercall.h"
#include "keydialog.h"
#include "keymanager.h"
#include "keysproxyfilemodel.h"
#include "kgpglauncher.h"

#include <KLocalizedString>

#include <QDebug>
#include <QHeaderView>
#include <QMessageBox>

namespace {
const QString KeyDirectory = QStringLiteral("/etc/digsig");

QString keyDirectoryOverride;

QString valueOr(const QString &override, const QString &value)
{
    return override.isEmpty() ? value : override;
}

QString keyDirectory()
{
    return valueOr(keyDirectoryOverride, KeyDirectory);
}

QString xattrKeyPath(const QString &fingerprint)
{
    return keyDirectory() + QStringLiteral("/xattr_keys/") + QStringLiteral("%1.gpg").arg(fingerprint);
}
}

KeysWidget::KeysWidget(QWidget *parent)
    : QWidget(parent)
    , m_ui(new Ui_KeysWidget)
    , m_model(new KeysProxyFileModel(this))
{
    m_ui->setupUi(this);
    m_model->setRootPath(keyDirectory());
    setupFilters();

    m_ui->treeView->setModel(m_model);
    m_ui->treeView->setRootIndex(m_model->mapFromSource(m_model->rootIndex()));
    m_ui->treeView->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);

    connect(m_ui->keyManagerButton, &QPushButton::clicked, this, &KeysWidget::openKeyManager);
    connect(m_ui->createKeyButton, &QPushButton::clicked, this, &KeysWidget::openCreateKeyDialog);
    // A new key is exported through the helper that a long action may hold.
    connect(HelperActivity::instance(), &HelperActivity::changed, this, &KeysWidget::followHelper);
    followHelper();
}

void KeysWidget::followHelper()
{
    m_ui->createKeyButton->setEnabled(!HelperActivity::instance()->isBusy(HelperCall::DigsigNamespace));
}

KeysWidget::~KeysWidget()
{
    delete m_ui;
}

void KeysWidget::setupFilters()
{
    const QModelIndex root = m_model->rootIndex();
    m_model->setDirFilters({QRegExp(QStringLiteral("keys")), QRegExp(QStringLiteral("xattr_keys"))}, root);
    // No file directly in the key directory's root is shown.
    m_model->setFileNameFilters({}, root);
    m_model->setFileNameFilters({QRegExp(QStringLiteral(".+\\.gpg"))}, QModelIndex());
}

void KeysWidget::openKeyManager() const
{
    KgpgLauncher::open();
}

void KeysWidget::openCreateKeyDialog() const
{
    KeyManager manager;
    connect(&manager, &KeyManager::keyGenerationEnded, &manager,
        [&manager](const QString &fingerprint) { manager.exportKey(fingerprint, xattrKeyPath(fingerprint)); });
    connect(&manager, &KeyManager::keyExportError, &manager, [](const QString &keyID, const QString &path, const QString &error) {
        qDebug().noquote() << keyID << path << error;
        QMessageBox box;
        box.setIcon(QMessageBox::Warning);
        box.setText(i18nd("orlis_kcm_digsig", "The key was created, but its public part could not be exported to %1.", path));
        box.setInformativeText(error);
        box.exec();
    });
    KeyDialog dialog(&manager);
    dialog.exec();
}

void KeysWidget::setKeyDirectoryForTesting(const QString &path)
{
    keyDirectoryOverride = path;
}

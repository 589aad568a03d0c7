#include "signingwidget.h"
#include "ui_signingwidget.h"

#include "digsigcontrolpanel.h"
#include "digsigsettingsdata.h"
#include "filteredtreeproxymodel.h"
#include "helperactivity.h"
#include "helpercall.h"
#include "helperjob.h"
#include "keymanager.h"
#include "selectkeydialog.h"
#include "signfilemodel.h"
#include "signingdialog.h"

#include <KLocalizedString>

#include <QDebug>
#include <QDir>
#include <QHeaderView>
#include <QMessageBox>
#include <QPersistentModelIndex>
#include <QSet>

namespace {
const char Domain[] = "orlis_kcm_digsig";
constexpr int UpdateTimeout = 480000;

const QSet<QString> &unsafeSystemDirectories()
{
    static const QSet<QString> UnsafeSystemDirectories = {
        QStringLiteral("/usr"),
        QStringLiteral("/srv"),
        QStringLiteral("/sbin"),
        QStringLiteral("/opt"),
        QStringLiteral("/lib64"),
        QStringLiteral("/lib32"),
        QStringLiteral("/lib"),
        QStringLiteral("/bin"),
    };
    return UnsafeSystemDirectories;
}

bool isUnsafePath(const QString &path)
{
    if (path == QLatin1String("/")) {
        return true;
    }
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    return !parts.isEmpty() && unsafeSystemDirectories().contains(QLatin1Char('/') + parts.first());
}
}

SigningWidget::SigningWidget(DigSigControlPanel *panel, QWidget *parent)
    : QWidget(parent)
    , m_ui(new Ui::SigningWidget)
    , m_panel(panel)
{
    m_ui->setupUi(this);
    setupTable();
    // The two signature columns stand right after the name.
    QHeaderView *header = m_ui->filesTreeView->header();
    header->moveSection(SignFileModel::ElfColumn, 1);
    header->moveSection(SignFileModel::XattrColumn, 2);

    connect(m_ui->signPushButton, &QPushButton::clicked, this, &SigningWidget::showSigningDialog);
    connect(m_ui->elfCheckBox, &QCheckBox::toggled, this, &SigningWidget::controlWidgetChanged);
    connect(m_ui->xattrCheckBox, &QCheckBox::toggled, this, &SigningWidget::controlWidgetChanged);
    // Signing needs the helper that a long action may hold; Sign waits for it to end.
    connect(HelperActivity::instance(), &HelperActivity::changed, this, &SigningWidget::controlWidgetChanged);
}

SigningWidget::~SigningWidget()
{
    delete m_ui;
}

void SigningWidget::setupTable()
{
    SignFileModel *oldModel = m_model;
    FilteredTreeProxyModel *oldProxy = m_proxy;

    m_model = new SignFileModel(this);
    m_model->setRootPath(QDir::rootPath());
    m_proxy = new FilteredTreeProxyModel(this);
    m_proxy->setSourceModel(m_model);
    m_proxy->showOnlyElf(m_ui->elfCheckBox->isChecked() && !m_ui->xattrCheckBox->isChecked());
    connect(m_proxy, &CheckableTreeProxyModel::someCheckedStateChenged, this, &SigningWidget::controlWidgetChanged);
    m_ui->filesTreeView->setModel(m_proxy);
    m_ui->filesTreeView->expand(m_proxy->index(0, 0, QModelIndex()));
    QHeaderView *header = m_ui->filesTreeView->header();
    for (int section = 0; section < header->count(); ++section) {
        header->setSectionResizeMode(section, QHeaderView::ResizeToContents);
    }

    // A whole file-system model per rebuild adds up; the replaced pair goes once the view
    // has let go of it.
    if (oldProxy) {
        oldProxy->deleteLater();
    }
    if (oldModel) {
        oldModel->deleteLater();
    }
    // The new tree has no ticks.
    controlWidgetChanged();
}

void SigningWidget::controlWidgetChanged()
{
    const bool elf = m_ui->elfCheckBox->isChecked();
    const bool xattr = m_ui->xattrCheckBox->isChecked();
    const bool helperFree = !HelperActivity::instance()->isBusy(HelperCall::DigsigNamespace);
    m_ui->signPushButton->setEnabled((elf || xattr) && !m_proxy->checkedList().isEmpty() && helperFree);
    m_proxy->showOnlyElf(elf && !xattr);
}

void SigningWidget::showSigningDialog()
{
    const QList<QModelIndex> mapped = mappedIndexes(m_proxy->checkedList());
    // The model may change under the dialogs' loops; plain indexes would not follow it.
    signSelection(indexesToPaths(mapped), selectedPaths(mapped), QList<QPersistentModelIndex>(mapped.cbegin(), mapped.cend()), signMode());
}

void SigningWidget::signFiles(const QStringList &files, Bsign::SignMode mode)
{
    m_ui->elfCheckBox->setChecked(mode != Bsign::XattrOnly);
    m_ui->xattrCheckBox->setChecked(mode != Bsign::ElfOnly);
    SelectedPaths selected;
    QList<QPersistentModelIndex> entries;
    // The files are not ticked in the tree: its tick rules judge a directory by the rows it
    // has loaded, and a directory loaded only along one file's path would read as all ticked.
    for (const QString &file : files) {
        selected.emplace(file, false);
        const QModelIndex source = m_model->index(file);
        if (source.isValid()) {
            entries.append(source); // their status cells are asked again after the run
        }
    }
    signSelection(files, selected, entries, mode);
}

void SigningWidget::signSelection(const QStringList &paths,
    const SelectedPaths &selected,
    const QList<QPersistentModelIndex> &signedEntries,
    Bsign::SignMode mode)
{
    checkCommonAccess();
    KeyManager keyManager;

    if (mode != Bsign::ElfOnly && !checkUnsafeSelectedPaths(paths)) {
        return;
    }
    QString keyId;
    bool saveLog = false;
    {
        SelectKeyDialog keyDialog(&keyManager, mode, nullptr);
        if (keyDialog.exec() != QDialog::Accepted) {
            return;
        }
        keyId = keyDialog.selectedKeyID();
        saveLog = keyDialog.saveLog();
    }

    setRunningSigning(true);
    QStringList signedTemplates;
    const bool completed = runSigningDialogAndCheckCompleted(keyId, selected, mode, saveLog, &signedTemplates);
    // The run may have exported the key below /etc/digsig.
    m_panel->announceFilesWritten();
    if (!completed) {
        // Left in signing mode, the status columns would stay empty for good; some files
        // may have been signed before the run failed.
        setRunningSigning(false);
        m_model->updateIndexesLevel(QList<QModelIndex>(signedEntries.cbegin(), signedEntries.cend()));
        return;
    }
    checkCommonAccess();
    setRunningSigning(false);
    maybeAskAboutUpdateInitramfs(mode, signedTemplates);
    m_model->updateIndexesLevel(QList<QModelIndex>(signedEntries.cbegin(), signedEntries.cend()));
}

bool SigningWidget::checkUnsafeSelectedPaths(const QStringList &paths)
{
    const bool anyUnsafe = std::any_of(paths.cbegin(), paths.cend(), isUnsafePath);
    if (!anyUnsafe) {
        return true;
    }
    const auto answer = QMessageBox::question(this, i18nd(Domain, "Selection confirmation"),
        i18nd(Domain,
            "Warning! You have selected unsafe directories for signing. After enabling extended attributes signature verification, this can lead to the "
            "inablility of booting the system, the inability to change the settings (disable) of the DigSig module and other unpredictable consequences. "
            "Do you want to continue?"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
    return answer == QMessageBox::Yes;
}

void SigningWidget::checkCommonAccess()
{
    HelperJob *job = HelperCall::execute(HelperCall::action(QStringLiteral("%1.access"), HelperCall::SecuritySettingsNamespace));
    if (!job->exec()) {
        qDebug() << job->errorString();
    }
}

QList<QModelIndex> SigningWidget::mappedIndexes(const QList<QModelIndex> &indexes) const
{
    QList<QModelIndex> mapped;
    for (const QModelIndex &index : indexes) {
        if (index.isValid()) {
            mapped.append(m_proxy->mapToSource(index));
        }
    }
    return mapped;
}

QStringList SigningWidget::indexesToPaths(const QList<QModelIndex> &indexes) const
{
    QStringList paths;
    for (const QModelIndex &index : indexes) {
        paths.append(m_model->filePath(index));
    }
    return paths;
}

SelectedPaths SigningWidget::selectedPaths(const QList<QModelIndex> &indexes) const
{
    SelectedPaths selected;
    for (const QModelIndex &index : indexes) {
        selected.emplace(m_model->filePath(index), m_model->isDir(index));
    }
    return selected;
}

Bsign::SignMode SigningWidget::signMode() const
{
    const bool elf = m_ui->elfCheckBox->isChecked();
    const bool xattr = m_ui->xattrCheckBox->isChecked();
    if (elf && !xattr) {
        return Bsign::ElfOnly;
    }
    if (xattr && !elf) {
        return Bsign::XattrOnly;
    }
    return Bsign::ElfAndXattr;
}

bool SigningWidget::runSigningDialogAndCheckCompleted(const QString &keyId,
    const SelectedPaths &paths,
    Bsign::SignMode mode,
    bool saveLog,
    QStringList *signedTemplates)
{
    SigningDialog dialog(keyId, paths, mode, saveLog, this);
    dialog.exec();
    *signedTemplates = dialog.signedTemplates();
    return dialog.isCompleted();
}

void SigningWidget::maybeAskAboutUpdateInitramfs(Bsign::SignMode mode, const QStringList &signedTemplates)
{
    if (m_panel->data().isXattrModeEnabled() && signingModeIncludeXattr(mode) && !signedTemplates.isEmpty()) {
        askAboutUpdateInitramfs(signedTemplates);
    }
}

void SigningWidget::askAboutUpdateInitramfs(const QStringList &signedTemplates)
{
    const auto answer = QMessageBox::question(this, i18nd(Domain, "Add files for verification"),
        i18nd(Domain,
            "Digsig was enabled in the extended attributes signature verification mode. Files that was signed after "
            "that will not be automatically verified after reboot. Do you want to add signed files for verification "
            "after reboot?"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
    // The list changes only now, and only by the files that were signed.
    if (answer == QMessageBox::Yes && addTemplates(signedTemplates)) {
        updateInitramfs();
    }
}

bool SigningWidget::addTemplates(const QStringList &templates)
{
    DigSigSettingsData settings = m_panel->data();
    settings.setXattrControlContent(withTemplates(settings.xattrControlContent(), templates));
    KAuth::Action action = HelperCall::action(QStringLiteral("%1.change"), HelperCall::DigsigNamespace, UpdateTimeout);
    action.addArgument(QStringLiteral("change_digsig"), settings.changeArguments());
    HelperJob *job = HelperCall::execute(action);
    const bool written = job->exec();
    if (!written) {
        qCritical("Error code %s, text: \"%s\"!", qPrintable(QString::number(job->error())), qPrintable(job->errorString()));
        Q_EMIT finishUpdate(true, job->errorString().isEmpty() ? QStringLiteral("error %1").arg(job->error()) : job->errorString());
    }
    m_panel->announceFilesWritten();
    return written;
}

QString SigningWidget::withTemplates(const QString &current, const QStringList &templates)
{
    QStringList present;
    for (const QString &line : current.split(QLatin1Char('\n'))) {
        present.append(line.trimmed());
    }
    QString result = current;
    for (const QString &added : templates) {
        if (present.contains(added)) {
            continue;
        }
        if (!result.isEmpty() && !result.endsWith(QLatin1Char('\n'))) {
            result += QLatin1Char('\n');
        }
        result += added + QLatin1Char('\n');
        present.append(added);
    }
    return result;
}

void SigningWidget::updateInitramfs()
{
    KAuth::Action action = HelperCall::action(QStringLiteral("%1.change"), HelperCall::DigsigNamespace, UpdateTimeout);
    action.addArgument(QStringLiteral("update_only"), QVariant());
    HelperJob *job = HelperCall::executeLong(action, i18nd(Domain, "Updating the list of files verified at boot…"));
    Q_EMIT finishUpdate(false, QString());
    connect(job, &KJob::finished, this, [this](KJob *finishedJob) {
        m_panel->announceFilesWritten();
        Q_EMIT finishUpdate(true, finishedJob->errorString());
    });
    connect(job, &HelperJob::newData, this, [this](const QVariantMap &data) {
        const QString warning = data.value(QStringLiteral("warning")).toString();
        if (!warning.isEmpty()) {
            Q_EMIT updateWarning(warning);
        }
    });
    job->start();
}

void SigningWidget::setRunningSigning(bool running)
{
    m_proxy->setIsSigningRunning(running);
    m_model->setIsSigningRunning(running);
}

bool SigningWidget::signingModeIncludeXattr(Bsign::SignMode mode) const
{
    return mode == Bsign::XattrOnly || mode == Bsign::ElfAndXattr;
}

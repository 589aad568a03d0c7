#include "signaturescandialog.h"
#include "ui_signaturescandialog.h"

#include "signaturescan.h"

#include <KLocalizedString>

#include <QFileDialog>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QSortFilterProxyModel>

namespace {
const char Domain[] = "orlis_kcm_digsig";
// Files named in a question; the report lists them all.
constexpr int MaxNamedFiles = 8;
}

SignatureScanDialog::SignatureScanDialog(const DigSigSettingsData &settings, QWidget *parent)
    : QDialog(parent)
    , m_ui(new Ui::SignatureScanDialog)
    , m_scan(new SignatureScan(this))
    , m_filter(new QSortFilterProxyModel(this))
    , m_templates(settings.xattrControlContent())
{
    m_ui->setupUi(this);
    m_scan->setVerificationMode(settings.verifyMode());
    m_ui->modeLabel->setText(i18nd(Domain, "Each file is judged as the kernel would judge it under the verification mode %1 after the next boot.",
        DigSigSettingsData::verifyModeNameById(settings.verifyMode())));
    const bool elfControl = settings.elfMode() != ControllMode::Off;
    const bool xattrControl = settings.xattrMode() != ControllMode::Off;
    m_ui->programsCheckBox->setChecked(elfControl || !xattrControl);
    m_ui->listedCheckBox->setChecked(xattrControl);
    m_ui->directoriesList->addItems(SignatureScan::defaultProgramDirectories());

    m_filter->setSourceModel(m_scan->results());
    m_filter->setFilterRole(ScanResultModel::ProblemRole);
    m_ui->resultsView->setModel(m_filter);
    QHeaderView *columns = m_ui->resultsView->horizontalHeader();
    columns->setSectionResizeMode(QHeaderView::ResizeToContents);
    columns->setSectionResizeMode(ScanResultModel::PathColumn, QHeaderView::Stretch);
    // Fixed row heights keep a table of many thousand rows quick.
    m_ui->resultsView->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_ui->resultsView->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    m_ui->resultsView->verticalHeader()->hide();
    m_ui->splitter->setSizes({height() * 3 / 4, height() / 4});
    applyFilter();

    connect(m_scan, &SignatureScan::progressChanged, this, &SignatureScanDialog::showProgress);
    connect(m_scan, &SignatureScan::finished, this, &SignatureScanDialog::scanFinished);
    connect(m_ui->startButton, &QPushButton::clicked, this, &SignatureScanDialog::startScan);
    connect(m_ui->stopButton, &QPushButton::clicked, m_scan, &SignatureScan::cancel);
    connect(m_ui->addDirectoryButton, &QPushButton::clicked, this, &SignatureScanDialog::addDirectory);
    connect(m_ui->removeDirectoryButton, &QPushButton::clicked, this, &SignatureScanDialog::removeDirectory);
    connect(m_ui->filterCombo, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &SignatureScanDialog::applyFilter);
    connect(m_ui->saveButton, &QPushButton::clicked, this, &SignatureScanDialog::askToSave);
    connect(m_ui->signButton, &QPushButton::clicked, this, &SignatureScanDialog::signSelected);
    connect(m_ui->buttonBox, &QDialogButtonBox::rejected, this, &SignatureScanDialog::reject);
    connect(m_ui->directoriesList, &QListWidget::itemSelectionChanged, this, &SignatureScanDialog::updateButtons);
    showProgress();
}

SignatureScanDialog::~SignatureScanDialog()
{
    m_scan->cancel();
}

SignatureScan *SignatureScanDialog::scan() const
{
    return m_scan;
}

void SignatureScanDialog::startScan()
{
    QStringList directories;
    if (m_ui->programsCheckBox->isChecked()) {
        for (int row = 0; row < m_ui->directoriesList->count(); ++row) {
            directories.append(m_ui->directoriesList->item(row)->text());
        }
    }
    m_scan->setProgramDirectories(directories);
    m_scan->setXattrTemplates(m_ui->listedCheckBox->isChecked() ? m_templates : QString());
    m_ui->directoryCounts->clear();
    m_scan->start();
    updateButtons();
}

bool SignatureScanDialog::mayApply()
{
    m_beforeApply = true;
    m_mayApply = true;
    startScan();
    exec();
    return m_mayApply;
}

void SignatureScanDialog::reject()
{
    m_scan->cancel();
    QDialog::reject();
}

void SignatureScanDialog::scanFinished(bool cancelled)
{
    showProgress();
    showDirectoryCounts();
    updateButtons();
    if (!m_beforeApply || cancelled) {
        return;
    }
    if (m_scan->hasFailed()) {
        // Nothing known is no good news: the administrator decides, No being the safe answer.
        m_mayApply = QMessageBox::warning(this, i18nd(Domain, "Check signatures"),
                         i18nd(Domain, "The signature check could not be completed: which programs would be refused is unknown. Apply anyway?"),
                         QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
            == QMessageBox::Yes;
        m_beforeApply = false;
        accept();
        return;
    }
    const int problems = m_scan->problems();
    const QStringList needed = m_scan->results()->neededProblems();
    if (!needed.isEmpty()) {
        // The worst case comes first, and only a deliberate Yes goes on.
        const QString shown = needed.size() > MaxNamedFiles
            ? i18nd(Domain, "%1 and %2 more", needed.mid(0, MaxNamedFiles).join(QStringLiteral(", ")), needed.size() - MaxNamedFiles)
            : needed.join(QStringLiteral(", "));
        m_mayApply
            = QMessageBox::warning(this, i18nd(Domain, "Check signatures"),
                  i18nd(Domain, "The system may not start: %1 would be refused after the next boot. %2 programs have no good signature in all. Apply anyway?",
                      shown, problems),
                  QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
            == QMessageBox::Yes;
        m_beforeApply = false;
        if (m_mayApply) {
            accept();
        }
        return;
    }
    if (problems > 0
        && QMessageBox::question(this, i18nd(Domain, "Check signatures"), i18nd(Domain, "%1 programs have no good signature: show them?", problems),
               QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes)
            == QMessageBox::Yes) {
        // The report stays open; the settings wait until the programs are signed.
        m_mayApply = false;
        m_beforeApply = false;
        return;
    }
    accept();
}

void SignatureScanDialog::showProgress()
{
    m_ui->progressBar->setMaximum(qMax(1, m_scan->seen()));
    m_ui->progressBar->setValue(m_scan->checked());
    m_ui->progressLabel->setText(i18nd(Domain, "Files seen: %1, checked: %2, problems: %3", m_scan->seen(), m_scan->checked(), m_scan->problems()));
    if (m_scan->hasFailed()) {
        m_ui->progressLabel->setText(i18nd(Domain, "The check could not be completed (not authorised, or digsig-check failed)."));
    }
}

void SignatureScanDialog::showDirectoryCounts()
{
    m_ui->directoryCounts->clear();
    const QMap<QString, int> counts = m_scan->results()->problemsPerDirectory();
    QList<QTreeWidgetItem *> items;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        items.append(new QTreeWidgetItem(QStringList {it.key(), QString::number(it.value())}));
    }
    m_ui->directoryCounts->addTopLevelItems(items);
    m_ui->directoryCounts->resizeColumnToContents(0);
}

void SignatureScanDialog::updateButtons()
{
    const bool running = m_scan->isRunning();
    m_ui->startButton->setEnabled(!running);
    m_ui->stopButton->setEnabled(running);
    m_ui->addDirectoryButton->setEnabled(!running);
    m_ui->removeDirectoryButton->setEnabled(!running && !m_ui->directoriesList->selectedItems().isEmpty());
    m_ui->saveButton->setEnabled(!running && m_scan->seen() > 0);
    m_ui->signButton->setEnabled(!running && m_scan->problems() > 0);
}

bool SignatureScanDialog::problemsOnly() const
{
    return m_ui->filterCombo->currentIndex() == 0;
}

void SignatureScanDialog::applyFilter()
{
    m_filter->setFilterFixedString(problemsOnly() ? QStringLiteral("true") : QString());
}

void SignatureScanDialog::addDirectory()
{
    const QString directory = QFileDialog::getExistingDirectory(this, i18nd(Domain, "Add directory"), QStringLiteral("/"));
    if (!directory.isEmpty() && m_ui->directoriesList->findItems(directory, Qt::MatchExactly).isEmpty()) {
        m_ui->directoriesList->addItem(directory);
    }
}

void SignatureScanDialog::removeDirectory()
{
    qDeleteAll(m_ui->directoriesList->selectedItems());
    updateButtons();
}

bool SignatureScanDialog::saveReport(const QString &fileName, const QString &content, QString *error)
{
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(content.toUtf8()) < 0 || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

void SignatureScanDialog::askToSave()
{
    const QString csvFilter = i18nd(Domain, "Comma-separated values (*.csv)");
    QString chosenFilter;
    const QString fileName = QFileDialog::getSaveFileName(this, i18nd(Domain, "Save report"), QStringLiteral("signature-report.txt"),
        i18nd(Domain, "Plain text (*.txt)") + QStringLiteral(";;") + csvFilter, &chosenFilter);
    if (fileName.isEmpty()) {
        return;
    }
    const bool csv = chosenFilter == csvFilter || fileName.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive);
    const ScanResultModel *results = m_scan->results();
    QString error;
    if (!saveReport(fileName, csv ? results->csvReport(problemsOnly()) : results->textReport(problemsOnly()), &error)) {
        QMessageBox::warning(this, i18nd(Domain, "Save report"), i18nd(Domain, "The report could not be saved to %1: %2", fileName, error));
    }
}

QVector<ScanEntry> SignatureScanDialog::chosenEntries() const
{
    QVector<ScanEntry> chosen;
    const ScanResultModel *results = m_scan->results();
    const QModelIndexList rows = m_ui->resultsView->selectionModel()->selectedRows();
    for (const QModelIndex &row : rows) {
        chosen.append(results->entry(m_filter->mapToSource(row).row()));
    }
    if (chosen.isEmpty()) {
        // Nothing chosen: every problem.
        for (int row = 0; row < results->entryCount(); ++row) {
            if (ScanResultModel::isProblem(results->entry(row))) {
                chosen.append(results->entry(row));
            }
        }
    }
    return chosen;
}

Bsign::SignMode SignatureScanDialog::elfSignMode(VerificationModeId mode)
{
    switch (mode) {
    case VerificationModeId::OnlyXattr:
        return Bsign::XattrOnly;
    case VerificationModeId::All:
        return Bsign::ElfAndXattr;
    default:
        return Bsign::ElfOnly;
    }
}

void SignatureScanDialog::signSelected()
{
    const Bsign::SignMode elfMode = elfSignMode(m_scan->verificationMode());
    QStringList elfFiles;
    QStringList otherFiles;
    const QVector<ScanEntry> chosen = chosenEntries();
    for (const ScanEntry &each : chosen) {
        (each.isElf && elfMode != Bsign::XattrOnly ? elfFiles : otherFiles).append(each.path);
    }
    m_mayApply = false;
    accept();
    if (!elfFiles.isEmpty()) {
        Q_EMIT signRequested(elfFiles, elfMode);
    }
    if (!otherFiles.isEmpty()) {
        Q_EMIT signRequested(otherFiles, Bsign::XattrOnly);
    }
}

#pragma once

#include "bsign.h"
#include "digsigsettingsdata.h"

#include <QDialog>
#include <QStringList>

#include <memory>

class QSortFilterProxyModel;
class SignatureScan;
struct ScanEntry;
namespace Ui {
class SignatureScanDialog;
}

// The report of a signature scan: which files enforcement would refuse under the shown
// settings, with filters, a count per directory, saving, and signing of the chosen files.
class SignatureScanDialog : public QDialog
{
    Q_OBJECT
public:
    explicit SignatureScanDialog(const DigSigSettingsData &settings, QWidget *parent = nullptr);
    ~SignatureScanDialog() override;

    SignatureScan *scan() const;
    void startScan();
    // Before a control is switched on: scans, and when files would be refused asks whether
    // to show them. False when the administrator chose to look at them (or to sign them)
    // instead of applying.
    bool mayApply();

    // The signature kinds that signing an ELF file must write to make it pass. Files that
    // are not ELF can only be signed in extended attributes.
    static Bsign::SignMode elfSignMode(VerificationModeId mode);

    static bool saveReport(const QString &fileName, const QString &content, QString *error);

Q_SIGNALS:
    // Once per kind of signing that the chosen files need.
    void signRequested(const QStringList &files, Bsign::SignMode mode);

protected:
    void reject() override;

private:
    void scanFinished(bool cancelled);
    void showProgress();
    void showDirectoryCounts();
    void updateButtons();
    void applyFilter();
    void addDirectory();
    void removeDirectory();
    void askToSave();
    void signSelected();
    bool problemsOnly() const;
    QVector<ScanEntry> chosenEntries() const;

    std::unique_ptr<Ui::SignatureScanDialog> m_ui;
    SignatureScan *m_scan;
    QSortFilterProxyModel *m_filter;
    QString m_templates;
    bool m_beforeApply = false;
    bool m_mayApply = true;
};

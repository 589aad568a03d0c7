#pragma once

#include "bsign.h"
#include "digsigsettingsdata.h"

#include <QDateTime>
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
    // What the check before an apply came to.
    enum class Answer {
        Apply, // no problem, or the administrator chose to apply anyway
        Hold, // the administrator looks at the problems or signs them first
        Unanswered, // the check was stopped or closed before it had an answer
    };

    explicit SignatureScanDialog(const DigSigSettingsData &settings, QWidget *parent = nullptr);
    ~SignatureScanDialog() override;

    SignatureScan *scan() const;
    void startScan();
    // Before a change that can make programs refuse: scans, and when files would be refused
    // asks whether to show them.
    Answer askBeforeApply();

    // The signature kinds that signing an ELF file must write to make it pass. Files that
    // are not ELF can only be signed in extended attributes.
    static Bsign::SignMode elfSignMode(VerificationModeId mode);

    // The plain-text report: a header (verification mode, date, counts, column names), then
    // one line per file.
    QString textReport(bool problemsOnly, const QDateTime &when) const;

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
    QString m_modeText;
    bool m_beforeApply = false;
    Answer m_answer = Answer::Unanswered;
};

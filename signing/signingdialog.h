#pragma once

#include "bsign.h"
#include "selectedpaths.h"

#include <KAuth/Action>

#include <QDialog>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QProcess>
#include <QQueue>
#include <QSet>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

class HelperJob;
class KJob;
namespace Ui {
class SigningDialog;
}

// Carries out one signing run: turns the ticked paths into a queue of files, hands the
// queue to the privileged signing action in one job and shows its per-file results.
class SigningDialog : public QDialog
{
    Q_OBJECT
public:
    SigningDialog(const QString &keyId, const SelectedPaths &selectedPaths, Bsign::SignMode mode, bool saveLog, QWidget *parent = nullptr);
    ~SigningDialog() override;

    // True after every file was signed and after a cancel.
    bool isCompleted() const;
    // The boot-list templates of the ticked paths whose files were all signed: a directory
    // as "dir/", a file as "/path"; below a directory with failures, each signed file.
    QStringList signedTemplates() const;

    QQueue<QString> parsingFilesFromPaths();
    void addFileToQueue(QQueue<QString> &queue, const QFileInfo &info) const;
    void addRootFileToQueue(QQueue<QString> &queue, const QString &path, bool isDirectory) const;
    KAuth::Action actionWithDataSigned() const;

public Q_SLOTS:
    int exec() override;
    void reject() override;
    void preparationForSigningProcess();
    void onKeyExported(const QString &keyID, const QString &path);
    void onKeyExportError(const QString &keyID, const QString &path, const QString &error);
    void onSigningFileFinished(const QString &file, Bsign::ReturnValue value);
    void onErrorFileSigningOccurred(const QString &file, QProcess::ProcessError error);
    void checkRemainingFiles();
    void addMessageToLog(QString message, Bsign::ReturnValue value);

private:
    bool checkSignaturePossible();
    void leaveOutUnsafeFiles();
    void startSigned();
    void parsingDataFromHelper(const QVariantMap &data);
    void onSigningJobFinished(KJob *job);
    void createLogFile();
    void addDirectoryListingToQueue(QQueue<QString> &queue, const QString &directory) const;
    void showFinalButtons();
    void stopRun(const QString &reason);
    void showSummary();
    void appendToView(const QString &line);
    void flushView();
    static QString prefixOf(Bsign::ReturnValue value);
    void resolveSelectedPaths(const SelectedPaths &selectedPaths);
    void passOverLink(const QString &link);
    void logPassedOverLinks();
    // The file as the log names it: with the path it was ticked as, when that differs.
    QString shownName(const QString &file) const;

    QString m_keyId;
    // The ticked paths resolved to their real paths, as root is given them.
    SelectedPaths m_selectedPaths;
    // Resolved ticked path to the path it was ticked as, where the two differ.
    QHash<QString, QString> m_tickedAs;
    // Links met in the walk that lead out of the ticked paths, with their targets.
    QMap<QString, QString> m_passedOverLinks;
    Bsign::SignMode m_mode;
    qint64 m_remaining = 0;
    QQueue<QString> m_files;
    bool m_completed = false;
    bool m_saveLog;
    QStringList m_logLines;
    HelperJob *m_job = nullptr;
    Ui::SigningDialog *m_ui;
    // Set by a cancel; the list building, which keeps the loop running, checks it.
    bool m_cancelled = false;
    // Set once OK is offered: nothing runs any more.
    bool m_ended = false;
    QStringList m_pendingViewLines;
    QSet<QString> m_signedFiles;
    QStringList m_leftOutFiles;
    int m_failedFiles = 0;
    QTimer m_viewFlush;
};

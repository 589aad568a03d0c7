#pragma once

#include "filesignaturestatus.h"

#include <kcmos/rootfilesystemmodel.h>

#include <QHash>
#include <QList>
#include <QPersistentModelIndex>
#include <QProcess>
#include <QSet>

#include <optional>

#include "bsign.h"

// The file tree with two more columns: the state of the ELF signature and of the signature
// in extended attributes. A file is checked the first time a view asks for one of its
// status cells, in the order asked. The first check runs alone, so that pkexec asks the
// administrator once; once a check has passed, several run at once. Results are kept until
// something tells the model to forget them; a result for a row that was forgotten or left
// the model meanwhile is dropped.
class SignFileModel : public KCMOS::RootFileSystemModel
{
    Q_OBJECT
public:
    enum Column {
        TypeColumn = 2,
        ElfColumn = 4,
        XattrColumn = 5,
    };

    explicit SignFileModel(QObject *parent = nullptr);
    ~SignFileModel() override;

    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    QModelIndex commonIndex(const QModelIndex &index) const;
    QModelIndex elfIndex(const QModelIndex &index) const;
    QModelIndex xattrIndex(const QModelIndex &index) const;

    // Most checks that run at once: twice the online processors, at most eight.
    static int parallelChecks();

    void getStatusAsync(const QModelIndex &index) const;
    Bsign *nextProcess();

    void removeFromQueue(const QModelIndex &index);
    void removeFromQueueRecursive(const QModelIndex &parent);
    void updateIndexesLevel(const QList<QModelIndex> &indexes);

    void setIsSigningRunning(bool running);

    // Checks a file that need not be shown in the tree through the same pool of checks;
    // fileChecked() reports the result. Results of file checks are not kept.
    void checkFile(const QString &path);
    // Forgets every file check: waiting ones are not started, running ones not reported.
    void dropFileChecks();

Q_SIGNALS:
    // hasVerdict is false when the check said nothing about the signatures (pkexec
    // refused, bsign failed or could not start).
    void fileChecked(const QString &path, bool hasVerdict, const Bsign::VerificationResult &result);

public Q_SLOTS:
    void onProcFinished(int exitCode, QProcess::ExitStatus status);
    void onErrorOccurred();
    void startNextProcess() const;

private:
    QVariant statusData(const QModelIndex &index, int role) const;
    std::optional<QVariant> linkData(const QModelIndex &index, int role) const;
    QModelIndex sameRow(const QModelIndex &index, int column) const;
    // The reporting runner taken off the running checks; null when it was handled already.
    Bsign *takeReporter();
    bool isAwaited(const QPersistentModelIndex &index) const;
    bool isAwaited(const Bsign *process) const;
    // Reports a file check that finished or failed; false when it was a tree check.
    bool reportFileCheck(Bsign *process, bool finished);
    void storeStatus(const QPersistentModelIndex &index, const FileSignatureStatus &status);
    static QString describeProcess(const Bsign *process);

    mutable QHash<QPersistentModelIndex, FileSignatureStatus> m_cache;
    // Checks not yet started, and the ones running.
    mutable QList<Bsign *> m_queue;
    mutable QList<Bsign *> m_running;
    // Set by the first check that pkexec let through.
    bool m_authorised = false;
    bool m_isSigningRunning = false;
    QSet<const Bsign *> m_fileChecks;
};

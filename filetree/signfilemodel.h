#pragma once

#include "filesignaturestatus.h"

#include <kcmos/rootfilesystemmodel.h>

#include <QHash>
#include <QList>
#include <QPersistentModelIndex>
#include <QProcess>

class Bsign;

// The file tree with two more columns: the state of the ELF signature and of the signature
// in extended attributes. A file is checked the first time a view asks for one of its
// status cells; checks run one at a time, in the order asked, and their results are kept
// until something tells the model to forget them.
class SignFileModel : public KCMOS::RootFileSystemModel
{
    Q_OBJECT
public:
    enum Column {
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

    void getStatusAsync(const QModelIndex &index) const;
    Bsign *nextProcess();

    void removeFromQueue(const QModelIndex &index);
    void removeFromQueueRecursive(const QModelIndex &parent);
    void updateIndexesLevel(const QList<QModelIndex> &indexes);

    void setIsSigningRunning(bool running);

public Q_SLOTS:
    void onProcFinished(int exitCode, QProcess::ExitStatus status);
    void onErrorOccurred();
    void startNextProcess() const;

private:
    QVariant statusData(const QModelIndex &index, int role) const;
    QModelIndex sameRow(const QModelIndex &index, int column) const;
    // The reporting runner when it is the head of the queue, taken off it; else null.
    Bsign *takeReportingHead();
    void storeStatus(const QPersistentModelIndex &index, const FileSignatureStatus &status);
    static QString describeProcess(const Bsign *process);

    mutable QHash<QPersistentModelIndex, FileSignatureStatus> m_cache;
    mutable QList<Bsign *> m_queue;
    bool m_isSigningRunning = false;
};

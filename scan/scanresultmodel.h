#pragma once

#include "signatureverdict.h"

#include <QAbstractTableModel>
#include <QMap>
#include <QSet>
#include <QVector>

// One file of a signature scan.
struct ScanEntry
{
    QString path;
    QString keyId;
    SignatureVerdict::State elf = SignatureVerdict::Unknown;
    SignatureVerdict::State xattr = SignatureVerdict::Unknown;
    SignatureVerdict::Verdict verdict = SignatureVerdict::Undecided;
    // A file that is not ELF can carry only the signature in extended attributes.
    bool isElf = true;
    bool checked = false;
    // One of the files the system needs to start.
    bool needed = false;
};

// The files of a signature scan with what their check found. Rows are added in batches
// (publish()), so that a scan of a hundred thousand files keeps the views quick.
class ScanResultModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column {
        PathColumn,
        ElfColumn,
        XattrColumn,
        VerdictColumn,
        KeyColumn,
        NeededColumn,
        ColumnCount,
    };
    enum Role {
        ProblemRole = Qt::UserRole + 1,
    };

    explicit ScanResultModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    void clear();
    // Adds a file not yet checked; its row appears with the next publish().
    int addFile(const QString &path, bool isElf);
    void setResult(int entryIndex, SignatureVerdict::State elf, SignatureVerdict::State xattr, const QString &keyId, VerificationModeId mode);
    void setNeeded(int entryIndex, bool needed);
    void publish();

    int entryCount() const;
    const ScanEntry &entry(int entryIndex) const;
    int problemCount() const;
    // Problems among the files the system needs to start, and their paths.
    int neededProblemCount() const;
    QStringList neededProblems() const;
    static bool isProblem(const ScanEntry &entry);
    // Directory → number of problems in it, for the directories that have any.
    QMap<QString, int> problemsPerDirectory() const;

    QString textReport(bool problemsOnly) const;
    QString csvReport(bool problemsOnly) const;

private:
    QVector<ScanEntry> m_entries;
    int m_published = 0;
    int m_problems = 0;
    // Key ids repeat over thousands of files: each text is stored once.
    QSet<QString> m_keyIds;
};

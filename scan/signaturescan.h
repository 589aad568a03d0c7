#pragma once

#include "scanresultmodel.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include <dirent.h>

class HelperJob;
class KJob;
class SignFileModel;

// Finds the files that enforcement would refuse: the ELF files below the program
// directories and the files that the boot verification list names, each checked with
// "bsign -w" through the status model's pool of checks. The walk runs in short slices on
// the GUI thread; directories and files the user may not read are asked of the privileged
// helper ("get_dir_iter", "check_elf"), one call at a time.
class SignatureScan : public QObject
{
    Q_OBJECT
public:
    explicit SignatureScan(QObject *parent = nullptr);
    ~SignatureScan() override;

    // The usual program and library directories.
    static QStringList defaultProgramDirectories();
    // Tests scan a scratch tree: every directory and template is looked up below root.
    static void setRootForTesting(const QString &root);

    void setProgramDirectories(const QStringList &directories);
    // Content of the boot verification list: "//path" names one file, "path/" a tree.
    void setXattrTemplates(const QString &content);
    void setVerificationMode(VerificationModeId mode);
    VerificationModeId verificationMode() const;

    void start();
    void cancel();
    bool isRunning() const;

    ScanResultModel *results() const;
    int seen() const;
    int checked() const;
    int problems() const;

Q_SIGNALS:
    void progressChanged();
    void finished(bool cancelled);

protected:
    // Starts the check of one file; its end is handed to checkEnded().
    virtual void startCheck(const QString &path);
    virtual void dropChecks();
    void checkEnded(const QString &path, SignatureVerdict::State elf, SignatureVerdict::State xattr, const QString &keyId);

private:
    struct PendingDirectory
    {
        QByteArray path;
        bool programs;
        bool listed;
    };
    struct HelperQuestion
    {
        QString path;
        bool isDirectory;
        bool programs;
        bool listed;
    };
    enum ElfProbe {
        Elf,
        NotElf,
        Unreadable,
    };

    void walkSlice();
    void walkEntry(const PendingDirectory &directory, const dirent *entry);
    // Adds a regular file by what it is, or asks the helper when the user may not read it.
    void considerFile(int directoryFd, const char *name, const QString &path, bool programs, bool listed);
    void addFile(const QString &path, bool isElf);
    void askHelper();
    void helperAnswered(KJob *job);
    void startChecks();
    void publishProgress();
    void finishIfDone();
    void stop();
    static ElfProbe probeElf(int directoryFd, const char *name);

    ScanResultModel *m_results;
    SignFileModel *m_pool = nullptr;
    QStringList m_programDirectories;
    QString m_templates;
    VerificationModeId m_mode = VerificationModeId::OnlyElf;

    QVector<PendingDirectory> m_directories;
    DIR *m_directory = nullptr;
    PendingDirectory m_current;
    QVector<HelperQuestion> m_helperQuestions;
    QPointer<HelperJob> m_helperJob;
    HelperQuestion m_asked;
    QHash<QString, int> m_entryByPath;
    int m_nextToCheck = 0;
    int m_checksRunning = 0;
    int m_checked = 0;
    bool m_running = false;
    QTimer m_walkTimer;
    QTimer m_progressTimer;
};

#pragma once

#include "scanresultmodel.h"

#include <QObject>
#include <QProcess>
#include <QPointer>
#include <QStringList>
#include <QTimer>

class CheckProcess;

// Finds the files that enforcement would refuse: one run of digsig-check as root through
// pkexec walks the program directories and the files that the boot verification list
// names, checks each with "bsign -w" and streams one line per file, so that one
// authorisation covers a scan of any size. Cancel closes the program's input, which ends it
// and its checks at once.
class SignatureScan : public QObject
{
    Q_OBJECT
public:
    explicit SignatureScan(QObject *parent = nullptr);
    ~SignatureScan() override;

    // The usual program and library directories.
    static QStringList defaultProgramDirectories();
    // Tests scan a scratch tree: digsig-check reads everything below root.
    static void setRootForTesting(const QString &root);

    void setProgramDirectories(const QStringList &directories);
    // Content of the boot verification list: "//path" names one file, "path/" a tree.
    void setXattrTemplates(const QString &content);
    void setVerificationMode(VerificationModeId mode);
    VerificationModeId verificationMode() const;

    void start();
    void cancel();
    bool isRunning() const;
    // After finished(false): the check itself failed (pkexec refused, digsig-check broke
    // off); what it reported until then is kept.
    bool hasFailed() const;

    ScanResultModel *results() const;
    int seen() const;
    int checked() const;
    int problems() const;
    // Problems among the files the system needs to start.
    int neededProblems() const;

    // The command line given to pkexec.
    QStringList checkArguments() const;

Q_SIGNALS:
    void progressChanged();
    void finished(bool cancelled);

private:
    void readLines();
    void readLine(const QByteArray &line);
    void processEnded(int exitCode, QProcess::ExitStatus exitStatus);
    void publishProgress();
    void stop();

    ScanResultModel *m_results;
    QPointer<CheckProcess> m_process;
    QStringList m_programDirectories;
    QString m_templates;
    VerificationModeId m_mode = VerificationModeId::OnlyElf;
    bool m_running = false;
    bool m_failed = false;
    QTimer m_progressTimer;
};

#pragma once

#include "filewalk.h"
#include "reportwriter.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <QVector>

class BsignRun;

// A whole check: walks the files, keeps up to the given number of bsign runs going, judges
// each file under the verification mode and hands it to the report; shows progress on
// standard error when that is a terminal.
class CheckRun : public QObject
{
    Q_OBJECT
public:
    CheckRun(FileWalk *walk, ReportWriter *writer, const RootPath &root, VerificationModeId mode, int jobs, QObject *parent = nullptr);
    ~CheckRun() override;

    // The files the system needs to start, as seen inside it.
    void setNeeded(const QSet<QString> &needed);
    void setProgressShown(bool shown);
    void start();
    // Ends every bsign run at once (with its process group) and finishes with an error.
    void stop(const QString &why);
    // 0 nothing would be refused, 1 something would or cannot be told, 2 an error.
    int exitStatus() const;

Q_SIGNALS:
    void finished();

private:
    void walkStep();
    void startChecks();
    void checkEnded(BsignRun *run);
    void showProgress();
    void finishIfDone();

    FileWalk *m_walk;
    ReportWriter *m_writer;
    RootPath m_root;
    VerificationModeId m_mode;
    int m_jobs;
    QSet<QString> m_needed;
    QVector<FileWalk::File> m_waiting;
    int m_nextWaiting = 0;
    QVector<BsignRun *> m_running;
    QHash<QString, bool> m_isElf;
    QTimer m_walkTimer;
    QTimer m_progressTimer;
    QElapsedTimer m_clock;
    bool m_walking = false;
    bool m_progressShown = false;
    int m_checked = 0;
    int m_exitStatus = 0;
    bool m_done = false;
};

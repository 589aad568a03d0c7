#pragma once

#include "helperresult.h"

#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class BoundedProcess;
class QEventLoop;

/**
 * Runs one bsign per file with several at once. The first file that is really signed runs
 * alone, so that a key with a pass phrase asks once and the agent caches it for the others.
 * Every file gets exactly one progress record; a stop request kills every running bsign
 * within one poll, and a bsign over its time limit is killed and recorded as timed out.
 */
class SigningPool : public QObject
{
public:
    /** Starts bsign for one file, or sends the file's record itself (refused, or bsign could
     *  not start) and answers nullptr. */
    using Launcher = std::function<std::unique_ptr<BoundedProcess>(const QString &file)>;
    /** Sends the record of a file whose bsign ended or ran out of time. */
    using Reporter = std::function<void(const QString &file, BoundedProcess *process, bool timedOut)>;

    static constexpr int PollMilliseconds = 100;
    /** Files looked at in one go before the stop request is read again. */
    static constexpr int RefusalsPerTurn = 256;

    SigningPool(int workers, int limitMilliseconds, Launcher launcher, Reporter reporter, StopCheck stopped);
    ~SigningPool() override;

    /** Signs @p files; false when the caller asked to stop. */
    bool run(const QStringList &files);

    /** As many workers as online processors, at most eight. */
    static int defaultWorkers();

private:
    void launchMore();
    void finish(BoundedProcess *process);
    void poll();
    int allowedWorkers() const;
    void quitWhenDone();

    int m_workers;
    int m_limitMilliseconds;
    Launcher m_launcher;
    Reporter m_reporter;
    StopCheck m_stopped;
    QStringList m_files;
    int m_next = 0;
    bool m_firstSigned = false;
    bool m_stopping = false;
    std::vector<std::pair<QString, std::unique_ptr<BoundedProcess>>> m_running;
    std::vector<BoundedProcess *> m_overdue;
    QEventLoop *m_loop = nullptr;
};

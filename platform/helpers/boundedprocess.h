#pragma once

#include "helperresult.h"

#include <QProcess>

/**
 * A child of a helper that never outlives its bounds: it runs in a process group of its own,
 * and when its time is up or the caller asks to stop, the whole group is killed and reaped.
 */
class BoundedProcess : public QProcess
{
public:
    enum Outcome {
        Finished,
        FailedToStart,
        TimedOut,
        Stopped,
    };

    /** How often a running child is looked at and the stop request read. */
    static constexpr int PollMilliseconds = 100;

    BoundedProcess();
    ~BoundedProcess() override;

    /** Starts @p program and waits until it ends, @p limitMilliseconds pass or @p stopped says so. */
    Outcome run(const QString &program, const QStringList &arguments, int limitMilliseconds, const StopCheck &stopped);

protected:
    void setupChildProcess() override;

private:
    void killGroup();
};

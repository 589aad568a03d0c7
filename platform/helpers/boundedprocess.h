#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QProcessEnvironment>
#include <QStringList>

#include <sys/types.h>

class QSocketNotifier;
class QTimer;

/**
 * A child of a helper that never outlives its bounds. It is started with posix_spawn, which
 * costs far less than a fork of the helper when thousands of files are signed, in a process
 * group of its own, so that killing it also ends whatever it started (gpg, for one); its
 * standard streams are /dev/null. Its end is seen through a pidfd on the event loop (a short
 * poll where the kernel has none). The owner kills it when its time is up or the caller asks
 * to stop.
 */
class BoundedProcess : public QObject
{
    Q_OBJECT
public:
    explicit BoundedProcess(QObject *parent = nullptr);
    ~BoundedProcess() override;

    void setEnvironment(const QProcessEnvironment &environment);
    /** Starts @p program and its clock; false, with finished() never emitted, when it cannot start. */
    bool start(const QString &program, const QStringList &arguments);

    bool isRunning() const;
    /** Milliseconds since start(). */
    qint64 runningMilliseconds() const;
    /** Kills the whole process group and reaps the child, which emits finished(). */
    void killGroup();

    /** After finished(): whether the program exited by itself, and with which code. */
    bool exitedNormally() const;
    int exitCode() const;

Q_SIGNALS:
    void finished();

private:
    void reap(int options);
    void stopWatching();

    QProcessEnvironment m_environment;
    QElapsedTimer m_clock;
    pid_t m_pid = -1;
    int m_pidFd = -1;
    int m_status = 0;
    QSocketNotifier *m_exitNotifier = nullptr;
    QTimer *m_exitPoll = nullptr;
};

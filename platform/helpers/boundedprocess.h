#pragma once

#include <QElapsedTimer>
#include <QProcess>

/**
 * A child of a helper that never outlives its bounds: it runs in a process group of its own,
 * so that killing it also ends whatever it started (gpg, for one), and it knows how long it
 * has been running. Its owner kills it when its time is up or the caller asks to stop.
 */
class BoundedProcess : public QProcess
{
public:
    explicit BoundedProcess(QObject *parent = nullptr);
    ~BoundedProcess() override;

    /** Starts @p program and its clock. */
    void startBounded(const QString &program, const QStringList &arguments);
    /** Milliseconds since startBounded(). */
    qint64 runningMilliseconds() const;
    /** Kills the whole process group and reaps the child. */
    void killGroup();

protected:
    void setupChildProcess() override;

private:
    QElapsedTimer m_clock;
};

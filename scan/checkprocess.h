#pragma once

#include <QProcess>

// "pkexec digsig-check" as the module runs it: in a process group of its own, so that a
// cancel also ends a pkexec still waiting for the password, and with standard input kept
// open, whose end tells digsig-check itself (a root process the user may not signal) to stop.
class CheckProcess : public QProcess
{
    Q_OBJECT
public:
    explicit CheckProcess(QObject *parent = nullptr);
    ~CheckProcess() override;

    // Closes the program's input and kills what of its group the user may kill; the
    // process is deleted once it has ended.
    void stop();

protected:
    void setupChildProcess() override;
};

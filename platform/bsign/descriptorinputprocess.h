#pragma once

#include <QProcess>

/**
 * A process whose standard input is an already open descriptor, read from its start: the
 * program sees exactly the bytes of the file that was opened, whatever the path names now.
 */
class DescriptorInputProcess : public QProcess
{
public:
    explicit DescriptorInputProcess(int inputFd);

protected:
    void setupChildProcess() override;

private:
    int m_inputFd;
};

#include "descriptorinputprocess.h"

#include <unistd.h>

DescriptorInputProcess::DescriptorInputProcess(int inputFd)
    : m_inputFd(inputFd)
{
}

void DescriptorInputProcess::setupChildProcess()
{
    // Runs in the child between fork and exec: only async-signal-safe calls here.
    ::dup2(m_inputFd, STDIN_FILENO);
    ::lseek(STDIN_FILENO, 0, SEEK_SET);
}

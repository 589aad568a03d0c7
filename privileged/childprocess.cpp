#include "childprocess.h"

#include <QProcess>
#include <QSet>

namespace {
// Released children whose objects are not deleted yet. Never destroyed itself: a child may
// outlive the module's objects and even the event loop, and its object then stays known
// until the process ends rather than being lost.
QSet<QProcess *> &releasedProcesses()
{
    static auto *released = new QSet<QProcess *>;
    return *released;
}
}

void ChildProcess::release(QProcess *process)
{
    process->setParent(nullptr);
    releasedProcesses().insert(process);
    QObject::connect(process, &QObject::destroyed, [process] { releasedProcesses().remove(process); });
    // Deleted later: this may run inside one of the process's own signals.
    if (process->state() == QProcess::NotRunning) {
        process->deleteLater();
        return;
    }
    QObject::connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), process, &QObject::deleteLater);
    // One still starting may fail to start, which ends it without finished().
    QObject::connect(process, &QProcess::errorOccurred, process, [process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            process->deleteLater();
        }
    });
}

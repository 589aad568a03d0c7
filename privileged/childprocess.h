#pragma once

class QProcess;

namespace ChildProcess {
// Lets go of a process started through pkexec. Such a child runs as root: the module may
// not signal it, and waiting for it would block the GUI thread. A running child is left to
// finish; its object is deleted once it has ended, which reaps it.
void release(QProcess *process);
}

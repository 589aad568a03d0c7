#pragma once

#include <QString>
#include <QTemporaryFile>

/**
 * keywright runs as root on a desktop user's word: nothing of the caller's process set-up may
 * shape what it writes or whom its pinentry shows itself to. harden() sets umask 077 and
 * resource limits of root's own; checkDisplay() lets only a local display through, and an X
 * authority file only when it is a regular file of the calling user, reached without links,
 * which root's pinentry then reads from a root-owned 0600 copy that lives as long as the guard.
 */
class ProcessGuard
{
public:
    static void harden();

    /** Why DISPLAY or XAUTHORITY may not reach root's pinentry; empty when they may (XAUTHORITY then names the copy). */
    QString checkDisplay();

private:
    QTemporaryFile m_xauthorityCopy;
};

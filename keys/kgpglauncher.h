#pragma once

#include <QString>

// Starts the desktop's GnuPG key manager as root, or says how to install it.
class KgpgLauncher
{
public:
    // Runs "pkexec kgpg -k" and waits until it ends when kgpg is installed (true);
    // otherwise shows how to install it (false).
    static bool open();

    // Only tests use these, so that the machine's own kgpg and pkexec are never run.
    static void setKgpgPathForTesting(const QString &path);
    static void setKgpgLauncherForTesting(const QString &program);
};

#pragma once

#include "rootpath.h"

#include <QSet>
#include <QString>
#include <QStringList>

// The files a system needs to start and to be repaired from: the init program and the shell
// behind /bin/sh, login, getty, sshd, the display manager, the settings host, pkexec, bsign,
// the module's helpers and the initramfs tools, with the dynamic loader, libc and every
// library these load. Paths are the real files as seen inside the system.
class StartupFiles
{
public:
    explicit StartupFiles(const RootPath &root);

    QSet<QString> collect();

    // The programs themselves, before their libraries are added.
    static QStringList programs();

private:
    void add(const QString &path);
    void addLibraries(const QString &path);
    QString findLibrary(const QString &name, const QString &origin, const QStringList &searchPaths) const;
    QStringList libraryDirectories() const;
    QString displayManager() const;

    RootPath m_root;
    QStringList m_libraryDirectories;
    QSet<QString> m_files;
    QStringList m_pending;
};

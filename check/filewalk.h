#pragma once

#include "rootpath.h"
#include "scanrules.h"

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QVector>

#include <dirent.h>
#include <sys/types.h>

// The files of a check, found by walking the program directories and the boot list's trees
// with readdir. Links are never followed (only the starting points are resolved, as the
// system itself would resolve them); nothing but directories and regular files is opened,
// and no directory of a pseudo file system.
class FileWalk
{
public:
    struct File
    {
        QString path; // as seen inside the checked system
        bool isElf;
    };
    enum Step {
        Found,
        NotYet, // the step's share of entries was read; call again
        Done,
    };

    explicit FileWalk(const RootPath &root);
    ~FileWalk();
    FileWalk(const FileWalk &) = delete;
    FileWalk &operator=(const FileWalk &) = delete;

    void addProgramDirectory(const QString &path);
    void addTemplate(const ScanRules::Template &entry);
    // Reads on until a file to check is found, a bounded number of entries is read, or the
    // walk is over.
    Step next(File *file);

private:
    struct Directory
    {
        QByteArray path; // outside
        bool listed;
    };

    bool openNextDirectory();
    bool consider(int directoryFd, const char *name, const QByteArray &path, bool listed, File *file);
    // Whether the open file is one to check; remembers it.
    bool take(int fd, const char *name, const QByteArray &path, bool listed, File *file);

    RootPath m_root;
    QVector<Directory> m_pending;
    QVector<File> m_listedFiles;
    DIR *m_directory = nullptr;
    Directory m_current;
    QSet<QString> m_seenFiles;
    QSet<QPair<dev_t, ino_t>> m_seenDirectories[2];
};

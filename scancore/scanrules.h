#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

// Which files a signature check looks at: the ELF programs and libraries below the program
// directories, and every file that the boot verification list names, ELF or not.
class ScanRules
{
public:
    // An entry of the boot verification list: "//path" names one file, "path/" a tree.
    struct Template
    {
        QString path;
        bool singleFile;
    };

    static constexpr int MaxPathLength = 4096;

    // The usual program and library directories.
    static QStringList defaultProgramDirectories();
    // The entries of the boot verification list's content; lines that are no absolute
    // path are passed over.
    static QVector<Template> templates(const QString &content);
    // Whether an entry is one digsig-check takes on its command line: an absolute path
    // (with one more leading slash for a single file, a trailing one for a tree) without
    // "." or ".." parts, doubled slashes or control characters.
    static bool isValidTemplate(const QString &entry);
    // Object files carry the ELF header too but are neither programs nor libraries.
    static bool isProgramName(const char *name);
    // Whether the open regular file starts with the ELF magic.
    static bool hasElfMagic(int fd);
};

#pragma once

#include <QString>
#include <QStringList>

// What the dynamic loader needs to start a program or library: its loader (PT_INTERP), the
// libraries it names (DT_NEEDED) and where it says to look for them (DT_RUNPATH, DT_RPATH).
// Read from the headers alone, through a descriptor opened without following links.
class ElfDependencies
{
public:
    QString interpreter;
    QStringList needed;
    QStringList searchPaths;

    // False when the file is no ELF file of this machine's byte order or its headers are broken.
    bool read(int fd);
};

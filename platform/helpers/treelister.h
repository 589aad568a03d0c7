#pragma once

#include "helperresult.h"

#include <QVariant>

/**
 * The "check_elf" and "get_dir_iter" actions of the signing set-up: looking at files the
 * caller itself cannot read.
 */
class TreeLister
{
public:
    /** Most entries, files and directories, one listing may walk. */
    static constexpr int MaxEntries = 100000;
    /** Deepest nesting of directories one listing walks. */
    static constexpr int MaxDepth = 256;
    /** Most bytes the encoded reply may take, well inside the system bus's message size. */
    static constexpr qint64 MaxReplyBytes = 16 * 1024 * 1024;

    /** Success exactly for a regular ELF file, by the same test as the module's own. */
    static HelperResult checkElf(const QVariant &path);

    /**
     * Every non-directory entry below the directory, links neither followed nor entered,
     * mapped to whether it is a regular file.
     */
    static HelperResult listDirectory(const QVariant &path);

    /** The module's ELF test: a non-empty regular file with the ELF magic, not named "*.o". */
    static bool isElf(const QString &path);
};

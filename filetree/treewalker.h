#pragma once

#include <QString>

#include <dirent.h>

#include <functional>

// Walks a directory tree with readdir and the entry types it reports, without following
// links and without a stat per file: the file queue of a large tree builds at the pace of
// the file system. Directories that cannot be read are passed over, as find(1) does.
class TreeWalker
{
public:
    // Called for each entry below the root that is neither a directory nor a link; says
    // whether it is a regular file. Answers false to stop the walk.
    using Visitor = std::function<bool(const QString &path, bool isRegularFile)>;
    // Called for each link below the root, which the walk never follows.
    using LinkVisitor = std::function<void(const QString &path)>;

    static void walk(const QString &root, const Visitor &visit, const LinkVisitor &passLink = {});

    static bool isDotOrDotDot(const char *name);
    // The entry's type from readdir, or from lstat where the file system does not report it;
    // DT_UNKNOWN when neither tells.
    static unsigned char entryType(DIR *directory, const dirent *entry);
};

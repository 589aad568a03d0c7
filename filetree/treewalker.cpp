#include "treewalker.h"

#include <QByteArray>
#include <QFile>
#include <QVector>

#include <fcntl.h>
#include <sys/stat.h>

bool TreeWalker::isDotOrDotDot(const char *name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

unsigned char TreeWalker::entryType(DIR *directory, const dirent *entry)
{
    if (entry->d_type != DT_UNKNOWN) {
        return entry->d_type;
    }
    struct stat status;
    if (fstatat(dirfd(directory), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return DT_UNKNOWN;
    }
    if (S_ISDIR(status.st_mode)) {
        return DT_DIR;
    }
    if (S_ISLNK(status.st_mode)) {
        return DT_LNK;
    }
    return S_ISREG(status.st_mode) ? DT_REG : DT_UNKNOWN;
}

void TreeWalker::walk(const QString &root, const Visitor &visit, const LinkVisitor &passLink)
{
    QVector<QByteArray> pending {QFile::encodeName(root)};
    while (!pending.isEmpty()) {
        const QByteArray directoryPath = pending.takeLast();
        DIR *directory = opendir(directoryPath.constData());
        if (!directory) {
            continue;
        }
        const QByteArray prefix = directoryPath.endsWith('/') ? directoryPath : directoryPath + '/';
        while (const dirent *entry = readdir(directory)) {
            if (isDotOrDotDot(entry->d_name)) {
                continue;
            }
            const unsigned char type = entryType(directory, entry);
            const QByteArray path = prefix + entry->d_name;
            if (type == DT_DIR) {
                pending.append(path);
            } else if (type == DT_LNK) {
                if (passLink) {
                    passLink(QFile::decodeName(path));
                }
            } else if (!visit(QFile::decodeName(path), type == DT_REG)) {
                closedir(directory);
                return;
            }
        }
        closedir(directory);
    }
}

#include "treelister.h"

#include "argumentcheck.h"
#include "nofollowopen.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

namespace {
QString checkedPath(const QVariant &value, QString *path)
{
    if (!ArgumentCheck::textValue(value, path)) {
        return QStringLiteral("The path must be a text");
    }
    const QString problem = ArgumentCheck::absolutePathProblem(*path);
    return problem.isEmpty() ? QString() : QStringLiteral("Invalid path: %1").arg(problem);
}

// What one entry adds to the reply: the path as UTF-16 with its length, and a boolean variant.
qint64 encodedEntrySize(const QString &path)
{
    return 4 + 2 * qint64(path.size()) + 9;
}

bool isPseudoDirectory(const QString &path)
{
    const NoFollowOpen::Descriptor directory(::open(QFile::encodeName(path).constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return !directory.isValid() || NoFollowOpen::isOnPseudoFileSystem(directory.fd());
}

// Files and directories both count against the bounds, so an endless nest of empty
// directories ends the walk as surely as a flood of files.
class Listing
{
public:
    bool add(const QString &directory, int depth = 0)
    {
        if (depth > TreeLister::MaxDepth) {
            return false;
        }
        QDirIterator entries(directory, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        while (entries.hasNext()) {
            entries.next();
            const QFileInfo info = entries.fileInfo();
            if (++m_entries > TreeLister::MaxEntries) {
                return false;
            }
            if (info.isDir() && !info.isSymLink()) {
                // proc, sysfs and their kind are never walked.
                if (!isPseudoDirectory(info.filePath()) && !add(info.filePath(), depth + 1)) {
                    return false;
                }
                continue;
            }
            m_bytes += encodedEntrySize(info.filePath());
            if (m_bytes > TreeLister::MaxReplyBytes) {
                return false;
            }
            m_files.insert(info.filePath(), info.isFile() && !info.isSymLink());
        }
        return true;
    }

    QVariantMap files() const { return m_files; }

private:
    QVariantMap m_files;
    qint64 m_bytes = 0;
    int m_entries = 0;
};
}

bool TreeLister::isElf(const QString &path)
{
    NoFollowOpen::Refusal refusal = NoFollowOpen::Accepted;
    const NoFollowOpen::Descriptor file = NoFollowOpen::openRegularFile(path, &refusal);
    char magic[4];
    return file.isValid() && pread(file.fd(), magic, sizeof magic, 0) == sizeof magic
        && QByteArray(magic, sizeof magic)
        == QByteArray("\x7f"
                      "ELF",
            4)
        && QFileInfo(path).suffix() != QLatin1String("o");
}

HelperResult TreeLister::checkElf(const QVariant &value)
{
    QString path;
    const QString problem = checkedPath(value, &path);
    if (!problem.isEmpty()) {
        return HelperResult::failure(problem);
    }
    if (!isElf(path)) {
        return HelperResult::failure(QStringLiteral("%1 is not an ELF file").arg(path));
    }
    return HelperResult::success();
}

HelperResult TreeLister::listDirectory(const QVariant &value)
{
    QString path;
    const QString problem = checkedPath(value, &path);
    if (!problem.isEmpty()) {
        return HelperResult::failure(problem);
    }
    const QFileInfo info(path);
    if (info.isSymLink()) {
        return HelperResult::failure(QStringLiteral("%1 is a symbolic link, not a directory").arg(path));
    }
    if (!info.isDir()) {
        return HelperResult::failure(QStringLiteral("%1 is not a directory").arg(path));
    }
    if (isPseudoDirectory(path)) {
        return HelperResult::failure(QStringLiteral("%1 lies on a pseudo file system or can not be opened").arg(path));
    }
    Listing listing;
    if (!listing.add(path)) {
        return HelperResult::failure(QStringLiteral("%1 holds too many files to list at once (at most %2 entries, %3 levels and %4 MiB of names)")
                                         .arg(path)
                                         .arg(MaxEntries)
                                         .arg(MaxDepth)
                                         .arg(MaxReplyBytes / (1024 * 1024)));
    }
    return HelperResult::success(listing.files());
}

#include "treelister.h"

#include "argumentcheck.h"
#include "nofollowopen.h"

#include <QFile>
#include <QFileInfo>

#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
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

// Closes the directory stream, and with it its descriptor.
struct DirectoryCloser
{
    void operator()(DIR *directory) const { closedir(directory); }
};

// Files and directories both count against the bounds, so an endless nest of empty
// directories ends the walk as surely as a flood of files. Every entry is looked at through
// its directory's descriptor, never by name from "/"; proc, sysfs, FUSE, autofs and their
// kind are never entered.
class Listing
{
public:
    /** Walks the open directory @p fd (taken over) named @p path. */
    bool add(int fd, const QString &path, int depth = 0)
    {
        std::unique_ptr<DIR, DirectoryCloser> directory(fdopendir(fd));
        if (!directory) {
            ::close(fd);
            return true;
        }
        if (depth > TreeLister::MaxDepth) {
            return false;
        }
        const QString prefix = path == QLatin1String("/") ? path : path + QLatin1Char('/');
        while (const dirent *entry = readdir(directory.get())) {
            const QByteArray name(entry->d_name);
            if (name == "." || name == "..") {
                continue;
            }
            if (++m_entries > TreeLister::MaxEntries) {
                return false;
            }
            const QString child = prefix + QFile::decodeName(name);
            struct stat status
            {
            };
            const bool known = fstatat(dirfd(directory.get()), name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0;
            if (known && S_ISDIR(status.st_mode)) {
                if (!m_blocking.contains(QFile::encodeName(child)) && !addDirectory(dirfd(directory.get()), name, child, depth + 1)) {
                    return false;
                }
                continue;
            }
            m_bytes += encodedEntrySize(child);
            if (m_bytes > TreeLister::MaxReplyBytes) {
                return false;
            }
            m_files.insert(child, known && S_ISREG(status.st_mode));
        }
        return true;
    }

    QVariantMap files() const { return m_files; }

private:
    bool addDirectory(int parent, const QByteArray &name, const QString &path, int depth)
    {
        const int fd = openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 || NoFollowOpen::isOnPseudoFileSystem(fd)) {
            if (fd >= 0) {
                ::close(fd);
            }
            return true;
        }
        return add(fd, path, depth);
    }

    const QList<QByteArray> m_blocking = NoFollowOpen::blockingMountPoints();
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
    // FUSE and autofs are refused before the walk reaches them: their lookups may block.
    if (NoFollowOpen::isBelowBlockingMount(path)) {
        return HelperResult::failure(QStringLiteral("%1 lies on a pseudo file system or can not be opened").arg(path));
    }
    const NoFollowOpen::Descriptor reference = NoFollowOpen::open(path, O_PATH);
    struct stat status
    {
    };
    if (!reference.isValid() || fstat(reference.fd(), &status) != 0) {
        return HelperResult::failure(QStringLiteral("%1 can not be opened").arg(path));
    }
    if (S_ISLNK(status.st_mode)) {
        return HelperResult::failure(QStringLiteral("%1 is a symbolic link, not a directory").arg(path));
    }
    if (!S_ISDIR(status.st_mode)) {
        return HelperResult::failure(QStringLiteral("%1 is not a directory").arg(path));
    }
    if (NoFollowOpen::isOnPseudoFileSystem(reference.fd())) {
        return HelperResult::failure(QStringLiteral("%1 lies on a pseudo file system or can not be opened").arg(path));
    }
    const QByteArray reopened = "/proc/self/fd/" + QByteArray::number(reference.fd());
    const int directory = ::open(reopened.constData(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (directory < 0) {
        return HelperResult::failure(QStringLiteral("%1 can not be opened").arg(path));
    }
    Listing listing;
    if (!listing.add(directory, path)) {
        return HelperResult::failure(QStringLiteral("%1 holds too many files to list at once (at most %2 entries, %3 levels and %4 MiB of names)")
                                         .arg(path)
                                         .arg(MaxEntries)
                                         .arg(MaxDepth)
                                         .arg(MaxReplyBytes / (1024 * 1024)));
    }
    return HelperResult::success(listing.files());
}

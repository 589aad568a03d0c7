#include "filewalk.h"

#include "nofollowopen.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Entries read in one step, so that the caller's event loop stays quick.
constexpr int EntriesPerStep = 512;

bool isDotOrDotDot(const char *name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}
}

FileWalk::FileWalk(const RootPath &root)
    : m_root(root)
{
}

FileWalk::~FileWalk()
{
    if (m_directory) {
        closedir(m_directory);
    }
}

void FileWalk::addProgramDirectory(const QString &path)
{
    const QString real = m_root.resolved(path);
    if (!real.isEmpty()) {
        m_pending.append({QFile::encodeName(m_root.outside(real)), false});
    }
}

void FileWalk::addTemplate(const ScanRules::Template &entry)
{
    const QString real = m_root.resolved(entry.path);
    if (real.isEmpty()) {
        return;
    }
    const QByteArray outside = QFile::encodeName(m_root.outside(real));
    struct stat status;
    if (!entry.singleFile && lstat(outside.constData(), &status) == 0 && S_ISDIR(status.st_mode)) {
        m_pending.append({outside, true});
        return;
    }
    NoFollowOpen::Refusal refusal;
    const NoFollowOpen::Descriptor fd = NoFollowOpen::openRegularFile(QFile::decodeName(outside), &refusal);
    File file;
    if (fd.isValid() && take(fd.fd(), QFile::encodeName(real.section(QLatin1Char('/'), -1)).constData(), outside, true, &file)) {
        m_listedFiles.append(file);
    }
}

FileWalk::Step FileWalk::next(File *file)
{
    if (!m_listedFiles.isEmpty()) {
        *file = m_listedFiles.takeLast();
        return Found;
    }
    for (int read = 0; read < EntriesPerStep; ++read) {
        if (!m_directory && !openNextDirectory()) {
            return m_pending.isEmpty() ? Done : NotYet;
        }
        const dirent *entry = readdir(m_directory);
        if (!entry) {
            closedir(m_directory);
            m_directory = nullptr;
            continue;
        }
        if (isDotOrDotDot(entry->d_name)) {
            continue;
        }
        unsigned char type = entry->d_type;
        struct stat status;
        if (type == DT_UNKNOWN && fstatat(dirfd(m_directory), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
            type = S_ISDIR(status.st_mode) ? DT_DIR : S_ISREG(status.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        const QByteArray path = (m_current.path.endsWith('/') ? m_current.path : m_current.path + '/') + entry->d_name;
        if (type == DT_DIR) {
            m_pending.append({path, m_current.listed});
        } else if (type == DT_REG && consider(dirfd(m_directory), entry->d_name, path, m_current.listed, file)) {
            return Found;
        }
    }
    return NotYet;
}

bool FileWalk::openNextDirectory()
{
    while (!m_pending.isEmpty()) {
        m_current = m_pending.takeLast();
        NoFollowOpen::Descriptor fd = NoFollowOpen::open(QFile::decodeName(m_current.path), O_RDONLY | O_DIRECTORY | O_NONBLOCK);
        struct stat status;
        if (!fd.isValid() || fstat(fd.fd(), &status) != 0 || NoFollowOpen::isOnPseudoFileSystem(fd.fd())) {
            continue;
        }
        // A tree reached twice (a program directory that the boot list names again) is read once per kind.
        QSet<QPair<dev_t, ino_t>> &seen = m_seenDirectories[m_current.listed ? 1 : 0];
        const QPair<dev_t, ino_t> identity(status.st_dev, status.st_ino);
        if (seen.contains(identity)) {
            continue;
        }
        seen.insert(identity);
        // The stream takes a descriptor of its own.
        const int own = fcntl(fd.fd(), F_DUPFD_CLOEXEC, 0);
        m_directory = own >= 0 ? fdopendir(own) : nullptr;
        if (m_directory) {
            return true;
        }
        if (own >= 0) {
            close(own);
        }
    }
    return false;
}

bool FileWalk::consider(int directoryFd, const char *name, const QByteArray &path, bool listed, File *file)
{
    const QString inside = m_root.inside(QFile::decodeName(path));
    if (m_seenFiles.contains(inside)) {
        return false;
    }
    const NoFollowOpen::Descriptor fd(openat(directoryFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    return fd.isValid() && take(fd.fd(), name, path, listed, file);
}

bool FileWalk::take(int fd, const char *name, const QByteArray &path, bool listed, File *file)
{
    struct stat status;
    const bool regular = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    const bool elf = regular && ScanRules::hasElfMagic(fd) && ScanRules::isProgramName(name);
    if (!regular || (!elf && !listed)) {
        return false;
    }
    const QString inside = m_root.inside(QFile::decodeName(path));
    if (m_seenFiles.contains(inside)) {
        return false;
    }
    m_seenFiles.insert(inside);
    *file = {inside, elf};
    return true;
}

#include "nofollowopen.h"

#include <QFile>
#include <QList>

#include <cerrno>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {
// No path of a real file system holds more components than this.
const int MaxComponents = 4096;

bool isPseudoMagic(__fsword_t type)
{
    switch (static_cast<unsigned long>(type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case DEVPTS_SUPER_MAGIC:
    case BPF_FS_MAGIC:
    case PSTOREFS_MAGIC:
    case EFIVARFS_MAGIC:
    case BINFMTFS_MAGIC:
    case SELINUX_MAGIC:
    case SMACK_MAGIC:
    case 0x62656570: // configfs
    case 0x65735543: // fusectl
        return true;
    default:
        return false;
    }
}

// devtmpfs reports itself as tmpfs: recognise it as the file system mounted on /dev.
bool isOnDevtmpfs(int fd, __fsword_t type)
{
    if (static_cast<unsigned long>(type) != TMPFS_MAGIC) {
        return false;
    }
    struct stat file;
    struct stat dev;
    return fstat(fd, &file) == 0 && stat("/dev", &dev) == 0 && file.st_dev == dev.st_dev;
}
}

NoFollowOpen::Descriptor::Descriptor(int fd)
    : m_fd(fd)
{
}

NoFollowOpen::Descriptor::Descriptor(Descriptor &&other) noexcept
    : m_fd(other.m_fd)
{
    other.m_fd = -1;
}

NoFollowOpen::Descriptor &NoFollowOpen::Descriptor::operator=(Descriptor &&other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

NoFollowOpen::Descriptor::~Descriptor()
{
    if (m_fd >= 0) {
        const int savedErrno = errno;
        ::close(m_fd);
        errno = savedErrno;
    }
}

int NoFollowOpen::Descriptor::fd() const
{
    return m_fd;
}

bool NoFollowOpen::Descriptor::isValid() const
{
    return m_fd >= 0;
}

NoFollowOpen::Descriptor NoFollowOpen::open(const QString &path, int flags, mode_t mode)
{
    const QByteArray encoded = QFile::encodeName(path);
    if (encoded.isEmpty() || encoded.contains('\0')) {
        errno = ENOENT;
        return Descriptor();
    }
    QList<QByteArray> components = encoded.split('/');
    components.removeAll(QByteArray());
    if (components.size() > MaxComponents) {
        errno = ENAMETOOLONG;
        return Descriptor();
    }
    Descriptor directory(::open(encoded.startsWith('/') ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!directory.isValid()) {
        return directory;
    }
    if (components.isEmpty()) {
        return Descriptor(::openat(directory.fd(), ".", flags | O_CLOEXEC, mode));
    }
    const QByteArray last = components.takeLast();
    for (const QByteArray &component : qAsConst(components)) {
        // O_PATH with O_NOFOLLOW opens a link itself, which O_DIRECTORY then refuses.
        Descriptor next(::openat(directory.fd(), component.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.isValid()) {
            return next;
        }
        directory = std::move(next);
    }
    return Descriptor(::openat(directory.fd(), last.constData(), flags | O_NOFOLLOW | O_CLOEXEC, mode));
}

NoFollowOpen::Descriptor NoFollowOpen::openRegularFile(const QString &path, Refusal *refusal)
{
    Descriptor file = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (!file.isValid()) {
        *refusal = errno == ENOENT ? Missing : (errno == EACCES || errno == EPERM) ? Denied : LinkOrNotRegular;
        return file;
    }
    struct stat status
    {
    };
    if (fstat(file.fd(), &status) != 0 || !S_ISREG(status.st_mode)) {
        *refusal = S_ISDIR(status.st_mode) ? Directory : LinkOrNotRegular;
        return Descriptor();
    }
    if (isOnPseudoFileSystem(file.fd())) {
        *refusal = PseudoFileSystem;
        return Descriptor();
    }
    *refusal = Accepted;
    return file;
}

bool NoFollowOpen::isOnPseudoFileSystem(int fd)
{
    struct statfs fileSystem;
    if (fstatfs(fd, &fileSystem) != 0) {
        return true;
    }
    return isPseudoMagic(fileSystem.f_type) || isOnDevtmpfs(fd, fileSystem.f_type);
}

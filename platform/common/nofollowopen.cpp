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
    case 0x65735546: // fuse
    case AUTOFS_SUPER_MAGIC:
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

NoFollowOpen::Refusal refusalOf(int error)
{
    return error == ENOENT ? NoFollowOpen::Missing : (error == EACCES || error == EPERM) ? NoFollowOpen::Denied : NoFollowOpen::LinkOrNotRegular;
}

// A mount point field of /proc/self/mountinfo, whose blanks and backslashes are octal escapes.
QByteArray unescapedMountPoint(const QByteArray &field)
{
    QByteArray result;
    for (int i = 0; i < field.size(); ++i) {
        if (field.at(i) == '\\' && i + 3 < field.size()) {
            result += char(field.mid(i + 1, 3).toInt(nullptr, 8));
            i += 3;
        } else {
            result += field.at(i);
        }
    }
    return result;
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

NoFollowOpen::Descriptor NoFollowOpen::openParent(const QByteArray &encoded, QByteArray *last, bool *exposed)
{
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
    *last = components.isEmpty() ? QByteArrayLiteral(".") : components.takeLast();
    Descriptor directory(::open(encoded.startsWith('/') ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat status
    {
    };
    *exposed = !directory.isValid() || fstat(directory.fd(), &status) != 0 || othersMayWrite(status);
    for (const QByteArray &component : qAsConst(components)) {
        if (!directory.isValid()) {
            break;
        }
        // O_PATH with O_NOFOLLOW opens a link itself, which O_DIRECTORY then refuses.
        directory = Descriptor(::openat(directory.fd(), component.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        *exposed = *exposed || !directory.isValid() || fstat(directory.fd(), &status) != 0 || othersMayWrite(status);
    }
    return directory;
}

NoFollowOpen::Descriptor NoFollowOpen::open(const QString &path, int flags, mode_t mode)
{
    QByteArray last;
    bool exposed = false;
    const Descriptor directory = openParent(QFile::encodeName(path), &last, &exposed);
    if (!directory.isValid()) {
        return Descriptor();
    }
    return Descriptor(::openat(directory.fd(), last.constData(), flags | O_NOFOLLOW | O_CLOEXEC, mode));
}

NoFollowOpen::Descriptor NoFollowOpen::openRegularFile(const QString &path, Refusal *refusal, Writers writers)
{
    if (isBelowBlockingMount(path)) {
        *refusal = PseudoFileSystem;
        return Descriptor();
    }
    QByteArray last;
    bool exposed = false;
    const Descriptor directory = openParent(QFile::encodeName(path), &last, &exposed);
    // A bare reference: nothing of the file is opened, a device's driver is not called.
    const Descriptor reference(directory.isValid() ? ::openat(directory.fd(), last.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC) : -1);
    struct stat status
    {
    };
    if (!reference.isValid() || fstat(reference.fd(), &status) != 0) {
        *refusal = refusalOf(errno);
        return Descriptor();
    }
    if (!S_ISREG(status.st_mode)) {
        *refusal = S_ISDIR(status.st_mode) ? Directory : LinkOrNotRegular;
        return Descriptor();
    }
    if (isOnPseudoFileSystem(reference.fd())) {
        *refusal = PseudoFileSystem;
        return Descriptor();
    }
    if (writers == OwnerOnly && (exposed || othersMayWrite(status))) {
        *refusal = WritableByOthers;
        return Descriptor();
    }
    const QByteArray reopened = "/proc/self/fd/" + QByteArray::number(reference.fd());
    Descriptor file(::open(reopened.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat opened
    {
    };
    if (!file.isValid() || fstat(file.fd(), &opened) != 0) {
        *refusal = refusalOf(errno);
        return Descriptor();
    }
    if (opened.st_dev != status.st_dev || opened.st_ino != status.st_ino) {
        *refusal = LinkOrNotRegular;
        return Descriptor();
    }
    *refusal = Accepted;
    return file;
}

bool NoFollowOpen::othersMayWrite(const struct stat &status)
{
    if (!(status.st_mode & (S_IWGRP | S_IWOTH))) {
        return false;
    }
    // /tmp and its kind: others may add names, but not replace root's.
    return !(S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX) && status.st_uid == 0);
}

bool NoFollowOpen::isBelowBlockingMount(const QString &path)
{
    const QByteArray target = QFile::encodeName(path);
    const QList<QByteArray> points = blockingMountPoints();
    for (const QByteArray &point : points) {
        if (target == point || target.startsWith(point.endsWith('/') ? point : point + '/')) {
            return true;
        }
    }
    return false;
}

QList<QByteArray> NoFollowOpen::blockingMountPoints()
{
    QFile mounts(QStringLiteral("/proc/self/mountinfo"));
    if (!mounts.open(QIODevice::ReadOnly)) {
        return {QByteArrayLiteral("/")};
    }
    QList<QByteArray> points;
    const QList<QByteArray> lines = mounts.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        const int separator = fields.indexOf("-");
        if (fields.size() < 5 || separator < 0 || separator + 1 >= fields.size()) {
            continue;
        }
        const QByteArray type = fields.at(separator + 1);
        if (type == "autofs" || type == "fuse" || type == "fuseblk" || type.startsWith("fuse.")) {
            points.append(unescapedMountPoint(fields.at(4)));
        }
    }
    return points;
}

bool NoFollowOpen::isOnPseudoFileSystem(int fd)
{
    struct statfs fileSystem;
    if (fstatfs(fd, &fileSystem) != 0) {
        return true;
    }
    return isPseudoMagic(fileSystem.f_type) || isOnDevtmpfs(fd, fileSystem.f_type);
}

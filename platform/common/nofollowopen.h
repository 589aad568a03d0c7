#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <sys/stat.h>
#include <sys/types.h>

/**
 * Opens files for root without ever following a symbolic link: the path is walked from "/"
 * (or the working directory for a relative path) one component at a time, each opened with
 * O_NOFOLLOW, so that swapping the file or any parent directory for a link makes the open
 * fail instead of reaching the link's target. Descriptors are always close-on-exec.
 */
class NoFollowOpen
{
public:
    /** Why a file was refused by openRegularFile(). */
    enum Refusal {
        Accepted,
        Missing,
        Denied,
        Directory,
        LinkOrNotRegular,
        PseudoFileSystem,
        WritableByOthers,
    };

    /** Whether openRegularFile() accepts a file that users other than its owner may change. */
    enum Writers {
        AnyWriters,
        OwnerOnly,
    };

    /** A descriptor that closes itself. */
    class Descriptor
    {
    public:
        explicit Descriptor(int fd = -1);
        Descriptor(Descriptor &&other) noexcept;
        Descriptor &operator=(Descriptor &&other) noexcept;
        Descriptor(const Descriptor &) = delete;
        Descriptor &operator=(const Descriptor &) = delete;
        ~Descriptor();

        int fd() const;
        bool isValid() const;

    private:
        int m_fd;
    };

    /** The descriptor of @p path opened with @p flags; invalid with errno set on failure. */
    static Descriptor open(const QString &path, int flags, mode_t mode = 0);

    /**
     * Opens @p path read-only, and accepts it only when it is a regular file that lives on no
     * pseudo file system (proc, sysfs, devtmpfs, debugfs, tracefs, securityfs, cgroup, FUSE,
     * autofs and the like), whose reads may block or have side effects. The last component is
     * first opened as a bare path reference and looked at; only a regular file is opened for
     * reading (through /proc/self/fd, the same inode), so a device node, FIFO or socket is
     * never opened. With OwnerOnly, a group- or world-writable file, or one below a directory
     * that others may write (unless sticky and owned by root), is refused too.
     */
    static Descriptor openRegularFile(const QString &path, Refusal *refusal, Writers writers = AnyWriters);

    /** True when @p fd lies on a pseudo file system. */
    static bool isOnPseudoFileSystem(int fd);

    /** True when @p path is, or lies below, the mount point of a FUSE or autofs file system, whose lookups may block. */
    static bool isBelowBlockingMount(const QString &path);
    /** The mount points of FUSE and autofs file systems, as bytes; "/" alone when they can not be read. */
    static QList<QByteArray> blockingMountPoints();

    /** True when users other than the owner may change a file or directory of @p status. */
    static bool othersMayWrite(const struct stat &status);

private:
    /** The directory holding the last component of @p encoded, walked without links; the component goes to @p last. */
    static Descriptor openParent(const QByteArray &encoded, QByteArray *last, bool *exposed);
};

#pragma once

#include <QByteArray>
#include <QString>

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
     * Opens @p path read-only and non-blocking, and accepts it only when the descriptor is a
     * regular file that lives on no pseudo file system (proc, sysfs, devtmpfs, debugfs,
     * tracefs, securityfs, cgroup and the like), whose reads may block or have side effects.
     */
    static Descriptor openRegularFile(const QString &path, Refusal *refusal);

    /** True when @p fd lies on a pseudo file system. */
    static bool isOnPseudoFileSystem(int fd);
};

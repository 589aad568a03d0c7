#pragma once

#include <QString>

// Paths of a system that may lie below another directory (an image, a chroot): links are
// resolved as that system itself would resolve them, never leading out of its root, and
// paths are shown as seen inside it.
class RootPath
{
public:
    // An empty root, or "/", is the running system.
    explicit RootPath(const QString &root = QString());

    // The directory the system lies in, without a trailing slash ("" for the running one).
    QString root() const;
    // Where the system's own path lies on this machine.
    QString outside(const QString &inside) const;
    // A path below the root as the system sees it.
    QString inside(const QString &outside) const;
    // The system's path with every link resolved, as seen inside it; empty when a part is
    // missing or the links go round.
    QString resolved(const QString &inside) const;

private:
    QString m_root;
};

#include "rootpath.h"

#include <QFile>
#include <QStringList>

#include <climits>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// As the kernel does: more links than this in one lookup is a loop.
constexpr int MaxLinks = 40;

QString readLink(const QString &path)
{
    char target[PATH_MAX];
    const ssize_t length = readlink(QFile::encodeName(path).constData(), target, sizeof target);
    return length > 0 && length < ssize_t(sizeof target) ? QFile::decodeName(QByteArray(target, int(length))) : QString();
}
}

RootPath::RootPath(const QString &root)
    : m_root(root)
{
    while (m_root.endsWith(QLatin1Char('/'))) {
        m_root.chop(1);
    }
}

QString RootPath::root() const
{
    return m_root;
}

QString RootPath::outside(const QString &inside) const
{
    return m_root + inside;
}

QString RootPath::inside(const QString &outside) const
{
    return m_root.isEmpty() ? outside : outside.mid(m_root.size());
}

QString RootPath::resolved(const QString &inside) const
{
    QStringList pending = inside.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QStringList done;
    int links = 0;
    while (!pending.isEmpty()) {
        const QString part = pending.takeFirst();
        if (part == QLatin1String(".")) {
            continue;
        }
        if (part == QLatin1String("..")) {
            if (!done.isEmpty()) {
                done.removeLast();
            }
            continue;
        }
        const QString path = QLatin1Char('/') + (done + QStringList {part}).join(QLatin1Char('/'));
        struct stat status;
        if (lstat(QFile::encodeName(outside(path)).constData(), &status) != 0) {
            return QString();
        }
        if (!S_ISLNK(status.st_mode)) {
            done.append(part);
            continue;
        }
        const QString target = readLink(outside(path));
        if (target.isEmpty() || ++links > MaxLinks) {
            return QString();
        }
        if (target.startsWith(QLatin1Char('/'))) {
            done.clear();
        }
        pending = target.split(QLatin1Char('/'), Qt::SkipEmptyParts) + pending;
    }
    return QLatin1Char('/') + done.join(QLatin1Char('/'));
}

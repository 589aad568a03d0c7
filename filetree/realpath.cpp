#include "realpath.h"

#include <QDir>
#include <QFile>

#include <climits>
#include <cstdlib>

namespace {
QString canonical(const QString &path)
{
    char resolved[PATH_MAX];
    if (!realpath(QFile::encodeName(path).constData(), resolved)) {
        return QString();
    }
    return QFile::decodeName(resolved);
}
}

QString RealPath::resolve(const QString &path)
{
    const QString cleaned = QDir::cleanPath(path);
    QString prefix = cleaned;
    while (!prefix.isEmpty()) {
        const QString real = canonical(prefix);
        if (!real.isEmpty()) {
            const QString rest = cleaned.mid(prefix.size());
            return rest.isEmpty() ? real : QDir::cleanPath(real + QLatin1Char('/') + rest);
        }
        const int slash = prefix.lastIndexOf(QLatin1Char('/'));
        prefix = slash > 0 ? prefix.left(slash) : (slash == 0 && prefix.size() > 1 ? QStringLiteral("/") : QString());
    }
    return cleaned;
}

bool RealPath::isWithin(const QString &path, const QString &root)
{
    if (root == QLatin1String("/")) {
        return path.startsWith(QLatin1Char('/'));
    }
    return path == root || (path.startsWith(root) && path.at(root.size()) == QLatin1Char('/'));
}

#include "atomicfile.h"

#include <QSaveFile>

QString AtomicFile::write(const QString &path, const QByteArray &content, QFileDevice::Permissions permissions)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return QStringLiteral("Can not open file %1: %2").arg(path, file.errorString());
    }
    // The temporary file otherwise keeps the restrictive mode it was created with.
    if (!file.setPermissions(permissions)) {
        file.cancelWriting();
        return QStringLiteral("Can not set permissions of %1: %2").arg(path, file.errorString());
    }
    if (file.write(content) != content.size()) {
        file.cancelWriting();
        return QStringLiteral("Can not write file %1: %2").arg(path, file.errorString());
    }
    if (!file.commit()) {
        return QStringLiteral("Can not save file %1: %2").arg(path, file.errorString());
    }
    return QString();
}

QFileDevice::Permissions AtomicFile::publicReadable()
{
    return QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ReadGroup | QFileDevice::ReadOther;
}

#include "signaturestore.h"

#include <QFile>

#include <cerrno>
#include <sys/xattr.h>

const char *SignatureStore::attributeName(Kind kind)
{
    return kind == Elf ? "security.bsign-standin.elf" : "security.bsign-standin.xattr";
}

QByteArray SignatureStore::read(const QString &path, Kind kind)
{
    const QByteArray name = QFile::encodeName(path);
    const ssize_t size = getxattr(name.constData(), attributeName(kind), nullptr, 0);
    if (size <= 0) {
        return {};
    }
    QByteArray value(int(size), Qt::Uninitialized);
    const ssize_t read = getxattr(name.constData(), attributeName(kind), value.data(), size_t(value.size()));
    return read == size ? value : QByteArray();
}

int SignatureStore::write(const QString &path, Kind kind, const QByteArray &signature)
{
    const QByteArray name = QFile::encodeName(path);
    if (setxattr(name.constData(), attributeName(kind), signature.constData(), size_t(signature.size()), 0) != 0) {
        return errno;
    }
    return 0;
}

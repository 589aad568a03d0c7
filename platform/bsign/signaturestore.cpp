#include "signaturestore.h"

#include <cerrno>
#include <sys/xattr.h>

const char *SignatureStore::attributeName(Kind kind)
{
    return kind == Elf ? "security.bsign-standin.elf" : "security.bsign-standin.xattr";
}

QByteArray SignatureStore::read(int fd, Kind kind)
{
    const ssize_t size = fgetxattr(fd, attributeName(kind), nullptr, 0);
    if (size <= 0) {
        return {};
    }
    QByteArray value(int(size), Qt::Uninitialized);
    const ssize_t read = fgetxattr(fd, attributeName(kind), value.data(), size_t(value.size()));
    return read == size ? value : QByteArray();
}

int SignatureStore::write(int fd, Kind kind, const QByteArray &signature)
{
    if (fsetxattr(fd, attributeName(kind), signature.constData(), size_t(signature.size()), 0) != 0) {
        return errno;
    }
    return 0;
}

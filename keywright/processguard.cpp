#include "processguard.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Far larger than any X authority file.
const qint64 MaxXauthorityBytes = 64 * 1024;

void setLimit(int resource, rlim_t value)
{
    const struct rlimit limit
    {
        value, value
    };
    setrlimit(resource, &limit);
}

// The user pkexec ran us for, or our own when started directly.
uid_t callerUid()
{
    bool ok = false;
    const uint uid = qEnvironmentVariable("PKEXEC_UID").toUInt(&ok);
    return ok ? uid_t(uid) : getuid();
}

// A descriptor of @p path opened as a bare reference, each component without following a link; -1 on failure.
int openWithoutLinks(const QString &path)
{
    const QStringList components = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    int directory = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < components.size() && directory >= 0; ++i) {
        const int flags = O_PATH | O_NOFOLLOW | O_CLOEXEC | (i + 1 < components.size() ? O_DIRECTORY : 0);
        const int next = openat(directory, QFile::encodeName(components.at(i)).constData(), flags);
        ::close(directory);
        directory = next;
    }
    return directory;
}
}

void ProcessGuard::harden()
{
    umask(077);
    setLimit(RLIMIT_CORE, 0);
    for (const int resource : {RLIMIT_FSIZE, RLIMIT_DATA, RLIMIT_AS, RLIMIT_CPU}) {
        setLimit(resource, RLIM_INFINITY);
    }
    setLimit(RLIMIT_STACK, 8 * 1024 * 1024);
    setLimit(RLIMIT_NOFILE, 1024);
}

QString ProcessGuard::checkDisplay()
{
    static const QRegularExpression localDisplay(QStringLiteral("\\A(:[0-9]{1,5}(\\.[0-9]{1,5})?)?\\z"));
    if (!localDisplay.match(qEnvironmentVariable("DISPLAY")).hasMatch()) {
        return QStringLiteral("DISPLAY is not a local display such as \":0\"");
    }
    const QString xauthority = qEnvironmentVariable("XAUTHORITY");
    if (xauthority.isEmpty()) {
        return QString();
    }
    const int reference = xauthority.startsWith(QLatin1Char('/')) && QDir::cleanPath(xauthority) == xauthority ? openWithoutLinks(xauthority) : -1;
    // pkexec names ~/.Xauthority when the caller named none; a missing file gives nothing away.
    if (reference < 0 && errno == ENOENT) {
        qunsetenv("XAUTHORITY");
        return QString();
    }
    struct stat status
    {
    };
    const bool own = reference >= 0 && fstat(reference, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == callerUid();
    // Only a regular file is opened for reading, through the reference: a device or FIFO never is.
    QFile original(QStringLiteral("/proc/self/fd/%1").arg(reference));
    const QByteArray cookies = own && original.open(QIODevice::ReadOnly) ? original.read(MaxXauthorityBytes + 1) : QByteArray();
    if (reference >= 0) {
        ::close(reference);
    }
    if (!own) {
        return QStringLiteral("XAUTHORITY is not a regular file of the calling user");
    }
    m_xauthorityCopy.setFileTemplate(QStringLiteral("/tmp/keywright-xauth-XXXXXX"));
    if (cookies.size() > MaxXauthorityBytes || !m_xauthorityCopy.open() || m_xauthorityCopy.write(cookies) != cookies.size() || !m_xauthorityCopy.flush()) {
        return QStringLiteral("XAUTHORITY can not be copied for root's pinentry");
    }
    qputenv("XAUTHORITY", QFile::encodeName(m_xauthorityCopy.fileName()));
    return QString();
}

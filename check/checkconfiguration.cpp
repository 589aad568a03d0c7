#include "checkconfiguration.h"

#include "nofollowopen.h"

#include <QRegularExpression>
#include <QStringList>

#include <cerrno>
#include <unistd.h>

namespace {
const QString Settings = QStringLiteral("/etc/digsig/digsig_initramfs.conf");
const QString BootList = QStringLiteral("/etc/digsig/xattr_control");
// Both files are a few lines; anything longer is not one of them.
constexpr qint64 MaxFileSize = 1024 * 1024;
}

bool CheckConfiguration::read(const RootPath &root, bool needMode)
{
    QString settings;
    if (!readFile(root, BootList, &m_templates)) {
        return false;
    }
    if (!needMode) {
        return true;
    }
    if (!readFile(root, Settings, &settings)) {
        return false;
    }
    static const QRegularExpression modeLine(QStringLiteral("^DIGSIG_ELF_VERIFICATION_MODE=\\s*([0-4])\\s*$"), QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = modeLine.match(settings);
    if (!match.hasMatch()) {
        m_error = QStringLiteral("%1 names no verification mode (DIGSIG_ELF_VERIFICATION_MODE=0..4); give one with --mode").arg(root.outside(Settings));
        return false;
    }
    m_mode = VerificationModeId(match.captured(1).toInt());
    return true;
}

bool CheckConfiguration::readFile(const RootPath &root, const QString &path, QString *content)
{
    NoFollowOpen::Refusal refusal;
    const NoFollowOpen::Descriptor file = NoFollowOpen::openRegularFile(root.outside(path), &refusal);
    if (refusal == NoFollowOpen::Missing) {
        content->clear();
        return true;
    }
    QByteArray bytes;
    if (file.isValid()) {
        char buffer[8192];
        ssize_t got = 0;
        while (bytes.size() <= MaxFileSize && (got = ::read(file.fd(), buffer, sizeof buffer)) > 0) {
            bytes.append(buffer, int(got));
        }
        if (got == 0 && bytes.size() <= MaxFileSize) {
            *content = QString::fromUtf8(bytes);
            return true;
        }
    }
    m_error = QStringLiteral("%1 cannot be read (a link, not a regular file, too large or not readable)").arg(root.outside(path));
    return false;
}

VerificationModeId CheckConfiguration::verifyMode() const
{
    return m_mode;
}

QString CheckConfiguration::templates() const
{
    return m_templates;
}

QString CheckConfiguration::error() const
{
    return m_error;
}

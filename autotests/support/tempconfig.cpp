#include "tempconfig.h"

#include <QFile>

namespace
{
void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(content);
    }
}
}

TempConfig::TempConfig() = default;

bool TempConfig::isValid() const
{
    return m_dir.isValid();
}

QString TempConfig::path() const
{
    return m_dir.path();
}

QString TempConfig::settingsPath() const
{
    return m_dir.filePath(QStringLiteral("digsig_initramfs.conf"));
}

QString TempConfig::templatesPath() const
{
    return m_dir.filePath(QStringLiteral("xattr_control"));
}

void TempConfig::writeSettings(const QByteArray &content)
{
    writeFile(settingsPath(), content);
}

void TempConfig::writeTemplates(const QByteArray &content)
{
    writeFile(templatesPath(), content);
}

void TempConfig::removeSettings()
{
    QFile::remove(settingsPath());
}

void TempConfig::removeTemplates()
{
    QFile::remove(templatesPath());
}

QByteArray TempConfig::settings(int elfMode, int xattrMode, int verifyMode, int ignoreXattrKeys, int ignoreGost2001)
{
    return QStringLiteral(
               "DIGSIG_ELF_MODE=%1\nDIGSIG_XATTR_MODE=%2\nDIGSIG_IGNORE_XATTR_KEYS=%3\nDIGSIG_IGNORE_GOST2001=%4\nDIGSIG_ELF_VERIFICATION_MODE=%5\n")
        .arg(elfMode)
        .arg(xattrMode)
        .arg(ignoreXattrKeys)
        .arg(ignoreGost2001)
        .arg(verifyMode)
        .toUtf8();
}

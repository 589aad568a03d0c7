#pragma once

#include <QFile>
#include <QString>
#include <QTemporaryDir>

// A temporary stand-in for /etc/digsig: writes the two configuration files of a test.
class TempConfig
{
public:
    TempConfig() = default;

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    QString settingsPath() const { return m_dir.filePath(QStringLiteral("digsig_initramfs.conf")); }
    QString templatesPath() const { return m_dir.filePath(QStringLiteral("xattr_control")); }

    void writeSettings(const QByteArray &content) { write(settingsPath(), content); }
    void writeTemplates(const QByteArray &content) { write(templatesPath(), content); }
    void removeSettings() { QFile::remove(settingsPath()); }
    void removeTemplates() { QFile::remove(templatesPath()); }

    static QByteArray settings(int elfMode, int xattrMode, int verifyMode, int ignoreXattrKeys = 0, int ignoreGost2001 = 0)
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

private:
    static void write(const QString &path, const QByteArray &content)
    {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            file.write(content);
        }
    }

    QTemporaryDir m_dir;
};

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
        const char *format
            = "DIGSIG_ELF_MODE=%d\nDIGSIG_XATTR_MODE=%d\nDIGSIG_IGNORE_XATTR_KEYS=%d\nDIGSIG_IGNORE_GOST2001=%d\nDIGSIG_ELF_VERIFICATION_MODE=%d\n";
        return QString::asprintf(format, elfMode, xattrMode, ignoreXattrKeys, ignoreGost2001, verifyMode).toUtf8();
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

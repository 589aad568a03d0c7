#pragma once

#include <QString>
#include <QTemporaryDir>

// A temporary stand-in for /etc/digsig: writes the two configuration files of a test.
class TempConfig
{
public:
    TempConfig();

    bool isValid() const;
    QString path() const;
    QString settingsPath() const;
    QString templatesPath() const;

    void writeSettings(const QByteArray &content);
    void writeTemplates(const QByteArray &content);
    void removeSettings();
    void removeTemplates();

    static QByteArray settings(int elfMode, int xattrMode, int verifyMode, int ignoreXattrKeys = 0, int ignoreGost2001 = 0);

private:
    QTemporaryDir m_dir;
};

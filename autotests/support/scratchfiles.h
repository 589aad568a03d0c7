#pragma once

#include <QFileDevice>
#include <QMap>
#include <QString>

class QFileSystemModel;

// A QString from UTF-8 text, as Qt 6 spells it: "text"_s.
inline QString operator""_s(const char *text, size_t size)
{
    return QString::fromUtf8(text, int(size));
}

// Files of a scratch tree, and what tests check about them.
namespace Scratch {
// Writes the file, creating its directories; permissions are set when given.
bool write(const QString &path, const QByteArray &content = QByteArray(), QFileDevice::Permissions permissions = {});
QByteArray read(const QString &path);
// Every file below the root with its content: compared before and after, it shows that
// nothing was written.
QMap<QString, QByteArray> snapshot(const QString &root);
// Fetches the directory into the model and waits a few seconds at most until all its
// entries are rows.
bool loadDirectory(QFileSystemModel *model, const QString &path);

// While it lives, the process's real user is "nobody", so that access() answers as for a
// user; the effective user stays root, so the process can switch back.
class RealUserScope
{
public:
    RealUserScope();
    ~RealUserScope();
    bool isActive() const;

private:
    bool m_active = false;
};
}

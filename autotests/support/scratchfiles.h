#pragma once

#include <QFileDevice>
#include <QMap>
#include <QString>

#include <QStringList>

#include <functional>

class QAbstractProxyModel;
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
// Files below the root, copies of /bin/true or a line of text, with the given mode.
void putFiles(const QString &root, const QStringList &relatives, bool elf, int mode = 0644);
// Fetches the directory into the model and waits a few seconds at most until all the
// entries its filter lets through are rows.
bool loadDirectory(QFileSystemModel *model, const QString &path);
// The sorted names that the proxy shows below the directory.
QStringList shownNames(const QAbstractProxyModel *proxy, const QString &path);

// Runs the work in a forked child that, when the test runs as root, drops to the "nobody"
// user first, so that the kernel's own permission checks decide what can be read. Gives the
// lines the work returned and everything the child printed; false when the child failed.
// The child works on a copy of the test's objects and must not open windows.
bool runAsNobody(const std::function<QStringList()> &work, QStringList *lines, QByteArray *printed);

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

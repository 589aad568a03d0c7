#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

// What a piece of work run as an unprivileged user handed back.
struct UnprivilegedRun
{
    bool ok = false;
    QString failure;
    // The lines the work returned.
    QStringList lines;
    // Everything the child printed, Qt's debug messages included.
    QByteArray output;
};

// Runs the work in a forked child that, when the test runs as root, first drops to the
// "nobody" user, so that the kernel's own permission checks decide what can be read.
// The child shares the test's objects (a copy of them); it must not open windows.
UnprivilegedRun runUnprivileged(const std::function<QStringList()> &work);

// A temporary tree that an unprivileged user can walk, with entries whose permissions
// keep that user (and a non-root owner) from reading them.
class UnprivilegedTree
{
public:
    UnprivilegedTree();
    ~UnprivilegedTree();

    bool isValid() const;
    QString root() const;
    QString path(const QString &relative) const;
    QStringList paths(const QStringList &relatives) const;

    // Intermediate directories are created readable for everyone.
    void makeDirectory(const QString &relative, int mode);
    void copyFile(const QString &source, const QString &relative, int mode);
    void writeFile(const QString &relative, const QByteArray &content, int mode);

private:
    void makeParent(const QString &relative);
    void setMode(const QString &relative, int mode);

    QTemporaryDir m_dir;
    QStringList m_restricted;
};

#include "unprivilegedrun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace {
// The modes of the restricted entries are chosen so that even their owner cannot read them.
constexpr int ReadableDirectoryMode = 0755;

uid_t nobodyId()
{
    const passwd *entry = getpwnam("nobody");
    return entry ? entry->pw_uid : 65534;
}

bool dropPrivileges()
{
    if (geteuid() != 0) {
        return true;
    }
    const uid_t nobody = nobodyId();
    return setgroups(0, nullptr) == 0 && setgid(nobody) == 0 && setuid(nobody) == 0 && getuid() == nobody;
}

void writeAll(int fd, const QByteArray &bytes)
{
    qint64 written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + written, bytes.size() - written);
        if (n <= 0) {
            return;
        }
        written += n;
    }
}
}

UnprivilegedRun runUnprivileged(const std::function<QStringList()> &work)
{
    UnprivilegedRun run;
    QTemporaryFile resultFile;
    QTemporaryFile outputFile;
    if (!resultFile.open() || !outputFile.open()) {
        run.failure = QStringLiteral("cannot create the exchange files");
        return run;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) {
        run.failure = QStringLiteral("fork failed");
        return run;
    }
    if (pid == 0) {
        dup2(outputFile.handle(), STDOUT_FILENO);
        dup2(outputFile.handle(), STDERR_FILENO);
        if (!dropPrivileges()) {
            _exit(3);
        }
        writeAll(resultFile.handle(), work().join(QLatin1Char('\n')).toUtf8());
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    resultFile.seek(0);
    outputFile.seek(0);
    const QByteArray result = resultFile.readAll();
    run.output = outputFile.readAll();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        run.failure = QStringLiteral("child ended with status %1: %2").arg(status).arg(QString::fromUtf8(run.output));
        return run;
    }
    run.ok = true;
    run.lines = result.isEmpty() ? QStringList() : QString::fromUtf8(result).split(QLatin1Char('\n'));
    return run;
}

UnprivilegedTree::UnprivilegedTree()
{
    if (m_dir.isValid()) {
        chmod(QFile::encodeName(m_dir.path()).constData(), ReadableDirectoryMode);
    }
}

UnprivilegedTree::~UnprivilegedTree()
{
    // Give the owner its rights back, so that the tree can be removed also without root.
    for (const QString &relative : qAsConst(m_restricted)) {
        chmod(QFile::encodeName(path(relative)).constData(), QFileInfo(path(relative)).isDir() ? 0700 : 0600);
    }
}

bool UnprivilegedTree::isValid() const
{
    return m_dir.isValid();
}

QString UnprivilegedTree::root() const
{
    return m_dir.path();
}

QString UnprivilegedTree::path(const QString &relative) const
{
    return m_dir.filePath(relative);
}

QStringList UnprivilegedTree::paths(const QStringList &relatives) const
{
    QStringList result;
    for (const QString &relative : relatives) {
        result.append(path(relative));
    }
    return result;
}

void UnprivilegedTree::makeDirectory(const QString &relative, int mode)
{
    makeParent(relative);
    QDir().mkdir(path(relative));
    setMode(relative, mode);
}

void UnprivilegedTree::copyFile(const QString &source, const QString &relative, int mode)
{
    makeParent(relative);
    QFile::copy(source, path(relative));
    setMode(relative, mode);
}

void UnprivilegedTree::writeFile(const QString &relative, const QByteArray &content, int mode)
{
    makeParent(relative);
    QFile file(path(relative));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(content);
    }
    file.close();
    setMode(relative, mode);
}

void UnprivilegedTree::makeParent(const QString &relative)
{
    const QString parent = QFileInfo(relative).path();
    if (parent == QLatin1String(".") || QFileInfo::exists(path(parent))) {
        return;
    }
    makeParent(parent);
    QDir().mkdir(path(parent));
    setMode(parent, ReadableDirectoryMode);
}

void UnprivilegedTree::setMode(const QString &relative, int mode)
{
    chmod(QFile::encodeName(path(relative)).constData(), static_cast<mode_t>(mode));
    if ((mode & 0444) == 0 || (mode & 0004) == 0) {
        m_restricted.append(relative);
    }
}

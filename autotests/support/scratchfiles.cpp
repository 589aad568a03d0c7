#include "scratchfiles.h"

#include <QAbstractProxyModel>
#include <QDir>
#include <QDirIterator>
#include <QFileSystemModel>
#include <QTemporaryFile>
#include <QTest>

#include <cstdio>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

bool Scratch::write(const QString &path, const QByteArray &content, QFileDevice::Permissions permissions)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size() && (!permissions || file.setPermissions(permissions));
}

QByteArray Scratch::read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QMap<QString, QByteArray> Scratch::snapshot(const QString &root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(path, read(path));
    }
    return files;
}

void Scratch::putFiles(const QString &root, const QStringList &relatives, bool elf, int mode)
{
    for (const QString &relative : relatives) {
        const QString path = root + QLatin1Char('/') + relative;
        write(path, elf ? read(QStringLiteral("/bin/true")) : QByteArrayLiteral("text\n"));
        chmod(QFile::encodeName(path).constData(), mode);
    }
}

bool Scratch::loadDirectory(QFileSystemModel *model, const QString &path)
{
    // The model sorts rows as they arrive, so the index is looked up afresh each time.
    const int expected = QDir(path).entryList(model->filter() | QDir::NoDotAndDotDot).size();
    if (model->canFetchMore(model->index(path))) {
        model->fetchMore(model->index(path));
    }
    return QTest::qWaitFor([&]() { return model->rowCount(model->index(path)) == expected; }, 5000);
}

Scratch::RealUserScope::RealUserScope()
{
    const passwd *nobody = getpwnam("nobody");
    m_active = nobody && setresuid(nobody->pw_uid, uid_t(-1), uid_t(-1)) == 0;
}

Scratch::RealUserScope::~RealUserScope()
{
    if (m_active) {
        setresuid(0, uid_t(-1), uid_t(-1));
    }
}

bool Scratch::RealUserScope::isActive() const
{
    return m_active;
}

QStringList Scratch::shownNames(const QAbstractProxyModel *proxy, const QString &path)
{
    const auto source = qobject_cast<QFileSystemModel *>(proxy->sourceModel());
    const QModelIndex parent = proxy->mapFromSource(source->index(path));
    QStringList names;
    for (int row = 0; row < proxy->rowCount(parent); ++row) {
        names.append(proxy->index(row, 0, parent).data().toString());
    }
    names.sort();
    return names;
}

bool Scratch::runAsNobody(const std::function<QStringList()> &work, QStringList *lines, QByteArray *printed)
{
    QTemporaryFile result;
    QTemporaryFile output;
    if (!result.open() || !output.open()) {
        return false;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(output.handle(), STDOUT_FILENO);
        dup2(output.handle(), STDERR_FILENO);
        const passwd *nobody = getpwnam("nobody");
        const uid_t id = nobody ? nobody->pw_uid : 65534;
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0)) {
            _exit(3);
        }
        alarm(20); // a child that hangs is ended instead of holding the test
        result.write(work().join(QLatin1Char('\n')).toUtf8());
        result.flush();
        std::fflush(stdout);
        _exit(0);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    result.seek(0);
    output.seek(0);
    *lines = QString::fromUtf8(result.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    *printed = output.readAll();
    return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

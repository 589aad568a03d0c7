#include "nobodyrun.h"

#include <QDir>
#include <QTemporaryFile>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

bool runAsNobody(const std::function<QStringList()> &work, QStringList *lines, QByteArray *printed)
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

void putFiles(const QString &root, const QStringList &relatives, bool elf, int mode)
{
    for (const QString &relative : relatives) {
        const QString path = root + QLatin1Char('/') + relative;
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        if (elf) {
            QFile::copy(QStringLiteral("/bin/true"), path);
        } else if (file.open(QIODevice::WriteOnly)) {
            file.write("text\n");
        }
        chmod(QFile::encodeName(path).constData(), mode);
    }
}

#include "boundedprocess.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace {
const int ExitPollMilliseconds = 20;

int openPidFd(pid_t pid)
{
#ifdef SYS_pidfd_open
    return int(syscall(SYS_pidfd_open, pid, 0));
#else
    Q_UNUSED(pid)
    errno = ENOSYS;
    return -1;
#endif
}

// Owns the C strings posix_spawn wants for a list of texts.
class CStrings
{
public:
    explicit CStrings(const QStringList &texts)
    {
        for (const QString &text : texts) {
            m_bytes.append(QFile::encodeName(text));
        }
        for (QByteArray &bytes : m_bytes) {
            m_pointers.push_back(bytes.data());
        }
        m_pointers.push_back(nullptr);
    }

    char *const *data() { return m_pointers.data(); }

private:
    QList<QByteArray> m_bytes;
    std::vector<char *> m_pointers;
};
}

BoundedProcess::BoundedProcess(QObject *parent)
    : QObject(parent)
{
}

BoundedProcess::~BoundedProcess()
{
    if (isRunning()) {
        killGroup();
    }
    stopWatching();
}

void BoundedProcess::setEnvironment(const QProcessEnvironment &environment)
{
    m_environment = environment;
}

bool BoundedProcess::start(const QString &program, const QStringList &arguments)
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        posix_spawn_file_actions_addopen(&actions, stream, "/dev/null", stream == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    }
    // Its own process group; signals that the helper ignores or blocks are not inherited.
    sigset_t defaults;
    sigfillset(&defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    CStrings argv(QStringList {program} + arguments);
    CStrings envp(m_environment.toStringList());
    const QByteArray path = QFile::encodeName(program);
    m_clock.start();
    const int error = posix_spawn(&m_pid, path.constData(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        m_pid = -1;
        return false;
    }

    m_pidFd = openPidFd(m_pid);
    if (m_pidFd >= 0) {
        m_exitNotifier = new QSocketNotifier(m_pidFd, QSocketNotifier::Read, this);
        connect(m_exitNotifier, &QSocketNotifier::activated, this, [this] { reap(WNOHANG); });
    } else {
        m_exitPoll = new QTimer(this);
        connect(m_exitPoll, &QTimer::timeout, this, [this] { reap(WNOHANG); });
        m_exitPoll->start(ExitPollMilliseconds);
    }
    return true;
}

bool BoundedProcess::isRunning() const
{
    return m_pid > 0;
}

qint64 BoundedProcess::runningMilliseconds() const
{
    return m_clock.isValid() ? m_clock.elapsed() : 0;
}

void BoundedProcess::killGroup()
{
    if (!isRunning()) {
        return;
    }
    ::kill(-m_pid, SIGKILL);
    ::kill(m_pid, SIGKILL);
    // SIGKILL cannot be caught: the child ends at once and this wait returns.
    reap(0);
}

bool BoundedProcess::exitedNormally() const
{
    return WIFEXITED(m_status);
}

int BoundedProcess::exitCode() const
{
    return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
}

void BoundedProcess::reap(int options)
{
    if (!isRunning()) {
        return;
    }
    int status = 0;
    pid_t reaped = -1;
    do {
        reaped = waitpid(m_pid, &status, options);
    } while (reaped < 0 && errno == EINTR);
    if (reaped == 0) {
        return;
    }
    // A child that cannot be waited for any more counts as killed.
    m_status = reaped < 0 ? SIGKILL : status;
    m_pid = -1;
    stopWatching();
    Q_EMIT finished();
}

void BoundedProcess::stopWatching()
{
    delete m_exitNotifier;
    m_exitNotifier = nullptr;
    delete m_exitPoll;
    m_exitPoll = nullptr;
    if (m_pidFd >= 0) {
        ::close(m_pidFd);
        m_pidFd = -1;
    }
}

#include "signaturescan.h"

#include "helpercall.h"
#include "helperjob.h"
#include "scanrules.h"
#include "signfilemodel.h"
#include "treewalker.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// A slice of the walk keeps well below the 50 ms a window may stall.
constexpr int SliceMilliseconds = 8;
constexpr int ProgressIntervalMilliseconds = 100;

QString &testRoot()
{
    static QString root;
    return root;
}

SignatureVerdict::State stateOf(bool hasVerdict, bool good, bool bad)
{
    if (!hasVerdict) {
        return SignatureVerdict::Unknown;
    }
    if (good) {
        return SignatureVerdict::Good;
    }
    return bad ? SignatureVerdict::Bad : SignatureVerdict::Missing;
}

// The real file behind a path the administrator or the boot list gave: the kernel checks
// that one, and the status check refuses paths through links.
QString resolved(const QString &path)
{
    const QString real = QFileInfo(testRoot() + path).canonicalFilePath();
    return real.isEmpty() ? testRoot() + path : real;
}
}

SignatureScan::SignatureScan(QObject *parent)
    : QObject(parent)
    , m_results(new ScanResultModel(this))
    , m_programDirectories(defaultProgramDirectories())
{
    m_walkTimer.setSingleShot(true);
    connect(&m_walkTimer, &QTimer::timeout, this, &SignatureScan::walkSlice);
    m_progressTimer.setInterval(ProgressIntervalMilliseconds);
    connect(&m_progressTimer, &QTimer::timeout, this, &SignatureScan::publishProgress);
}

SignatureScan::~SignatureScan()
{
    if (m_directory) {
        closedir(m_directory);
    }
}

QStringList SignatureScan::defaultProgramDirectories()
{
    return ScanRules::defaultProgramDirectories();
}

void SignatureScan::setRootForTesting(const QString &root)
{
    testRoot() = root;
}

void SignatureScan::setProgramDirectories(const QStringList &directories)
{
    m_programDirectories = directories;
}

void SignatureScan::setXattrTemplates(const QString &content)
{
    m_templates = content;
}

void SignatureScan::setVerificationMode(VerificationModeId mode)
{
    m_mode = mode;
}

VerificationModeId SignatureScan::verificationMode() const
{
    return m_mode;
}

ScanResultModel *SignatureScan::results() const
{
    return m_results;
}

int SignatureScan::seen() const
{
    return m_results->entryCount();
}

int SignatureScan::checked() const
{
    return m_checked;
}

int SignatureScan::problems() const
{
    return m_results->problemCount();
}

bool SignatureScan::isRunning() const
{
    return m_running;
}

void SignatureScan::start()
{
    cancel();
    m_results->clear();
    m_entryByPath.clear();
    m_nextToCheck = 0;
    m_checked = 0;
    m_running = true;
    for (const QString &directory : qAsConst(m_programDirectories)) {
        if (QFileInfo(testRoot() + directory).isDir()) {
            m_directories.append({QFile::encodeName(resolved(directory)), true, false});
        }
    }
    for (const ScanRules::Template &entry : ScanRules::templates(m_templates)) {
        const QString path = resolved(entry.path);
        const QFileInfo info(path);
        if (info.isDir() && !entry.singleFile) {
            m_directories.append({QFile::encodeName(path), false, true});
        } else if (info.isFile()) {
            considerFile(AT_FDCWD, QFile::encodeName(path).constData(), path, false, true);
        }
    }
    m_progressTimer.start();
    m_walkTimer.start(0);
    publishProgress();
}

void SignatureScan::cancel()
{
    if (!m_running) {
        return;
    }
    stop();
    Q_EMIT finished(true);
}

void SignatureScan::stop()
{
    m_running = false;
    m_walkTimer.stop();
    m_progressTimer.stop();
    if (m_directory) {
        closedir(m_directory);
        m_directory = nullptr;
    }
    m_directories.clear();
    m_helperQuestions.clear();
    if (m_helperJob) {
        // The helper answers a short question soon; its answer is no longer read.
        disconnect(m_helperJob, nullptr, this, nullptr);
        m_helperJob = nullptr;
    }
    dropChecks();
    m_checksRunning = 0;
    m_results->publish();
    Q_EMIT progressChanged();
}

void SignatureScan::walkSlice()
{
    QElapsedTimer slice;
    slice.start();
    while (m_running && slice.elapsed() < SliceMilliseconds) {
        if (!m_directory) {
            if (m_directories.isEmpty()) {
                break;
            }
            m_current = m_directories.takeLast();
            m_directory = opendir(m_current.path.constData());
            if (!m_directory) {
                if (errno == EACCES) {
                    m_helperQuestions.append({QFile::decodeName(m_current.path), true, m_current.programs, m_current.listed});
                }
                continue;
            }
        }
        const dirent *entry = readdir(m_directory);
        if (!entry) {
            closedir(m_directory);
            m_directory = nullptr;
            continue;
        }
        walkEntry(m_current, entry);
    }
    askHelper();
    startChecks();
    if (m_running && (m_directory || !m_directories.isEmpty())) {
        m_walkTimer.start(0);
    } else {
        finishIfDone();
    }
}

void SignatureScan::walkEntry(const PendingDirectory &directory, const dirent *entry)
{
    if (TreeWalker::isDotOrDotDot(entry->d_name)) {
        return;
    }
    const unsigned char type = TreeWalker::entryType(m_directory, entry);
    const QByteArray path = (directory.path.endsWith('/') ? directory.path : directory.path + '/') + entry->d_name;
    if (type == DT_DIR) {
        m_directories.append({path, directory.programs, directory.listed});
    } else if (type == DT_REG) {
        considerFile(dirfd(m_directory), entry->d_name, QFile::decodeName(path), directory.programs, directory.listed);
    }
}

void SignatureScan::considerFile(int directoryFd, const char *name, const QString &path, bool programs, bool listed)
{
    if (m_entryByPath.contains(path)) {
        return;
    }
    switch (probeElf(directoryFd, name)) {
    case Elf:
        addFile(path, true);
        break;
    case NotElf:
        if (listed) {
            addFile(path, false);
        }
        break;
    case Unreadable:
        m_helperQuestions.append({path, false, programs, listed});
        break;
    }
}

// Opens without following a link and without waiting on a special file.
SignatureScan::ElfProbe SignatureScan::probeElf(int directoryFd, const char *name)
{
    const int fd = openat(directoryFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return errno == EACCES || errno == EPERM ? Unreadable : NotElf;
    }
    struct stat status;
    const bool elf = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && ScanRules::hasElfMagic(fd);
    close(fd);
    return elf && ScanRules::isProgramName(name) ? Elf : NotElf;
}

void SignatureScan::addFile(const QString &path, bool isElf)
{
    if (!m_entryByPath.contains(path)) {
        m_entryByPath.insert(path, m_results->addFile(path, isElf));
    }
}

void SignatureScan::askHelper()
{
    if (!m_running || m_helperJob || m_helperQuestions.isEmpty()) {
        return;
    }
    m_asked = m_helperQuestions.takeFirst();
    KAuth::Action action = HelperCall::action(QStringLiteral("%1.setupsigning"), HelperCall::DigsigNamespace);
    action.addArgument(m_asked.isDirectory ? QStringLiteral("get_dir_iter") : QStringLiteral("check_elf"), m_asked.path);
    m_helperJob = HelperCall::execute(action);
    connect(m_helperJob, &KJob::result, this, &SignatureScan::helperAnswered);
    m_helperJob->start();
}

void SignatureScan::helperAnswered(KJob *job)
{
    m_helperJob = nullptr;
    const bool succeeded = job->error() == KJob::NoError;
    if (m_asked.isDirectory) {
        const QVariantMap listing = succeeded ? static_cast<HelperJob *>(job)->data() : QVariantMap();
        for (auto it = listing.cbegin(); it != listing.cend(); ++it) {
            considerFile(AT_FDCWD, QFile::encodeName(it.key()).constData(), it.key(), m_asked.programs, m_asked.listed);
        }
    } else if (succeeded) {
        addFile(m_asked.path, true);
    } else if (m_asked.listed) {
        addFile(m_asked.path, false);
    }
    askHelper();
    startChecks();
    finishIfDone();
}

void SignatureScan::startChecks()
{
    const int outstanding = 2 * SignFileModel::parallelChecks();
    while (m_running && m_checksRunning < outstanding && m_nextToCheck < m_results->entryCount()) {
        ++m_checksRunning;
        startCheck(m_results->entry(m_nextToCheck++).path);
    }
}

void SignatureScan::startCheck(const QString &path)
{
    if (!m_pool) {
        m_pool = new SignFileModel(this);
        connect(m_pool, &SignFileModel::fileChecked, this, [this](const QString &file, bool hasVerdict, const Bsign::VerificationResult &result) {
            checkEnded(file, stateOf(hasVerdict, result.elfGood, result.elfBad), stateOf(hasVerdict, result.xattrGood, result.xattrBad), result.keyId);
        });
    }
    m_pool->checkFile(path);
}

void SignatureScan::dropChecks()
{
    if (m_pool) {
        m_pool->dropFileChecks();
    }
}

void SignatureScan::checkEnded(const QString &path, SignatureVerdict::State elf, SignatureVerdict::State xattr, const QString &keyId)
{
    const int entryIndex = m_entryByPath.value(path, -1);
    if (!m_running || entryIndex < 0) {
        return;
    }
    m_results->setResult(entryIndex, elf, xattr, keyId, m_mode);
    ++m_checked;
    --m_checksRunning;
    startChecks();
    finishIfDone();
}

void SignatureScan::publishProgress()
{
    m_results->publish();
    Q_EMIT progressChanged();
}

void SignatureScan::finishIfDone()
{
    const bool walking = m_directory || !m_directories.isEmpty() || m_walkTimer.isActive();
    if (!m_running || walking || m_helperJob || !m_helperQuestions.isEmpty() || m_checksRunning > 0 || m_nextToCheck < m_results->entryCount()) {
        return;
    }
    stop();
    Q_EMIT finished(false);
}

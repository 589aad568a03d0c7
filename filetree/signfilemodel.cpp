#include "signfilemodel.h"

#include "bsign.h"
#include "childprocess.h"
#include "realpath.h"

#include <KLocalizedString>

#include <QCoreApplication>
#include <QFileInfo>
#include <QIcon>
#include <QLoggingCategory>
#include <QMetaEnum>
#include <QThread>

namespace {
Q_LOGGING_CATEGORY(lcSignFileModel, "orlis.kcm.digsig.filetree", QtInfoMsg)

const QVector<int> DisplayRoleOnly {Qt::DisplayRole};

QString missingInformationText()
{
    return ki18nd("orlis_kcm_digsig", "Signature information is missing or there are not enough permissions to view it").toString();
}

FileSignatureStatus failedCheck()
{
    FileSignatureStatus failed;
    failed.checkFailed = true;
    return failed;
}
}

SignFileModel::SignFileModel(QObject *parent)
    : KCMOS::RootFileSystemModel(parent)
{
    setFilter(QDir::Dirs | QDir::Files | QDir::Drives | QDir::Hidden | QDir::AllDirs | QDir::NoDotAndDotDot);
}

SignFileModel::~SignFileModel()
{
    for (Bsign *process : m_queue + m_running) {
        disconnect(process, nullptr, this, nullptr);
        ChildProcess::release(process);
    }
    m_queue.clear();
    m_running.clear();
}

int SignFileModel::parallelChecks()
{
    return qBound(1, 2 * QThread::idealThreadCount(), 8);
}

int SignFileModel::columnCount(const QModelIndex &parent) const
{
    return KCMOS::RootFileSystemModel::columnCount(parent) + 2;
}

QVariant SignFileModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid()) {
        return QVariant();
    }
    if (role == Qt::TextAlignmentRole) {
        return int(Qt::AlignVCenter);
    }
    if (index.column() != ElfColumn && index.column() != XattrColumn) {
        return linkData(index, role).value_or(KCMOS::RootFileSystemModel::data(index, role));
    }
    return statusData(index, role);
}

// A link shows as one in the type column and names its target in the tool tips of its
// name columns; its status cells show the state of the file it leads to.
std::optional<QVariant> SignFileModel::linkData(const QModelIndex &index, int role) const
{
    const bool typeText = role == Qt::DisplayRole && index.column() == TypeColumn;
    if (!typeText && role != Qt::ToolTipRole) {
        return std::nullopt;
    }
    const QFileInfo info = fileInfo(index);
    if (!info.isSymLink()) {
        return std::nullopt;
    }
    if (typeText) {
        return QVariant(ki18nd("orlis_kcm_digsig", "Link").toString());
    }
    return QVariant(ki18nd("orlis_kcm_digsig", "Link to %1").subs(info.symLinkTarget()).toString());
}

QVariant SignFileModel::statusData(const QModelIndex &index, int role) const
{
    if (m_isSigningRunning) {
        // Every status may change while files are being signed.
        m_cache.clear();
        return QVariant();
    }
    const QModelIndex common = commonIndex(index);
    const QPersistentModelIndex key(common);
    FileSignatureStatus status = m_cache.value(key);
    const bool isElfColumn = index.column() == ElfColumn;
    int &code = isElfColumn ? status.elfStatus : status.xattrStatus;
    const QString &info = isElfColumn ? status.elfInfo : status.xattrInfo;

    // The words tell the states apart in every icon theme, and without colour.
    switch (code) {
    case FileSignatureStatus::StatusSigned:
        if (role == Qt::DecorationRole) {
            return QIcon::fromTheme(QStringLiteral("task-complete"));
        }
        return role == Qt::ToolTipRole ? QVariant(info) : role == Qt::DisplayRole ? QVariant(i18nd("orlis_kcm_digsig", "signed")) : QVariant();
    case FileSignatureStatus::StatusNotSigned:
        if (role == Qt::DecorationRole) {
            return QIcon::fromTheme(QStringLiteral("task-reject"));
        }
        if (role == Qt::DisplayRole) {
            return i18nd("orlis_kcm_digsig", "not signed");
        }
        return role == Qt::ToolTipRole ? QVariant(ki18nd("orlis_kcm_digsig", "No signature").toString()) : QVariant();
    case FileSignatureStatus::StatusPending:
        if (role == Qt::DecorationRole) {
            return QFileInfo(filePath(index)).isFile() ? QIcon::fromTheme(QStringLiteral("task-ongoing")) : QIcon();
        }
        if (role == Qt::DisplayRole) {
            return QFileInfo(filePath(index)).isFile() ? QVariant(i18nd("orlis_kcm_digsig", "checking…")) : QVariant();
        }
        if (role == Qt::ToolTipRole) {
            return missingInformationText();
        }
        return QVariant();
    default:
        if (status.checkFailed) {
            if (role == Qt::DisplayRole) {
                return i18nd("orlis_kcm_digsig", "unknown");
            }
            return role == Qt::ToolTipRole ? QVariant(missingInformationText()) : QVariant(QIcon());
        }
        code = FileSignatureStatus::StatusPending;
        m_cache.insert(key, status);
        getStatusAsync(common);
        return QIcon();
    }
}

QVariant SignFileModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole) {
        if (section == ElfColumn) {
            return ki18nd("orlis_kcm_digsig", "Signature").toString();
        }
        if (section == XattrColumn) {
            return ki18nd("orlis_kcm_digsig", "Externed signature").toString();
        }
    }
    return QFileSystemModel::headerData(section, orientation, role);
}

QModelIndex SignFileModel::sameRow(const QModelIndex &index, int column) const
{
    if (!index.isValid()) {
        return QModelIndex();
    }
    return KCMOS::RootFileSystemModel::index(index.row(), column, index.parent());
}

QModelIndex SignFileModel::commonIndex(const QModelIndex &index) const
{
    return sameRow(index, 0);
}

QModelIndex SignFileModel::elfIndex(const QModelIndex &index) const
{
    return sameRow(index, ElfColumn);
}

QModelIndex SignFileModel::xattrIndex(const QModelIndex &index) const
{
    return sameRow(index, XattrColumn);
}

void SignFileModel::getStatusAsync(const QModelIndex &index) const
{
    if (isDir(index)) {
        return;
    }
    const QPersistentModelIndex key(commonIndex(index));
    const auto known = m_cache.constFind(key);
    if (known != m_cache.constEnd() && known->elfStatus != FileSignatureStatus::StatusPending && known->xattrStatus != FileSignatureStatus::StatusPending) {
        return;
    }
    auto *process = new Bsign(QPersistentModelIndex(index), RealPath::resolve(filePath(index)));
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this, &SignFileModel::onProcFinished);
    connect(process, &QProcess::errorOccurred, this, &SignFileModel::onErrorOccurred);
    FileSignatureStatus pending;
    pending.elfStatus = FileSignatureStatus::StatusPending;
    pending.xattrStatus = FileSignatureStatus::StatusPending;
    m_cache.insert(key, pending);
    m_queue.append(process);
    startNextProcess();
}

// Takes the next waiting check off the queue; the caller starts or drops it.
Bsign *SignFileModel::nextProcess()
{
    return m_queue.isEmpty() ? nullptr : m_queue.takeFirst();
}

void SignFileModel::startNextProcess() const
{
    const int allowed = m_authorised ? parallelChecks() : 1;
    while (m_running.size() < allowed && !m_queue.isEmpty()) {
        Bsign *process = m_queue.takeFirst();
        // A row forgotten or gone while it waited is not checked.
        if (!isAwaited(process)) {
            delete process; // never started, and not inside one of its signals
            continue;
        }
        m_running.append(process);
        process->verify();
    }
}

bool SignFileModel::isAwaited(const QPersistentModelIndex &index) const
{
    if (!index.isValid()) {
        return false;
    }
    const auto known = m_cache.constFind(QPersistentModelIndex(commonIndex(index)));
    return known != m_cache.constEnd() && (known->elfStatus == FileSignatureStatus::StatusPending || known->xattrStatus == FileSignatureStatus::StatusPending);
}

bool SignFileModel::isAwaited(const Bsign *process) const
{
    return m_fileChecks.contains(process) || isAwaited(process->index());
}

void SignFileModel::checkFile(const QString &path)
{
    auto *process = new Bsign(QPersistentModelIndex(), path);
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this, &SignFileModel::onProcFinished);
    connect(process, &QProcess::errorOccurred, this, &SignFileModel::onErrorOccurred);
    m_fileChecks.insert(process);
    m_queue.append(process);
    startNextProcess();
}

void SignFileModel::dropFileChecks()
{
    for (auto it = m_queue.begin(); it != m_queue.end();) {
        if (m_fileChecks.contains(*it)) {
            delete *it; // never started
            it = m_queue.erase(it);
        } else {
            ++it;
        }
    }
    m_fileChecks.clear();
}

bool SignFileModel::reportFileCheck(Bsign *process, bool finished)
{
    if (!m_fileChecks.remove(process)) {
        return false;
    }
    const bool hasVerdict = finished && process->hasVerdict();
    const Bsign::VerificationResult result = hasVerdict ? process->verificationResult() : Bsign::VerificationResult();
    process->deleteLater();
    Q_EMIT fileChecked(process->path(), hasVerdict, result);
    return true;
}

Bsign *SignFileModel::takeReporter()
{
    auto *reporter = qobject_cast<Bsign *>(sender());
    if (!reporter || !m_running.removeOne(reporter)) {
        // Its end was handled already (a crash reports an error and a finish).
        return nullptr;
    }
    QMetaObject::invokeMethod(
        this, [this]() { startNextProcess(); }, Qt::QueuedConnection);
    return reporter;
}

void SignFileModel::onProcFinished(int exitCode, QProcess::ExitStatus status)
{
    Q_UNUSED(exitCode)
    Q_UNUSED(status)
    Bsign *process = takeReporter();
    if (!process) {
        return;
    }
    const QPersistentModelIndex index = process->index();
    m_authorised = m_authorised || process->hasVerdict();
    if (reportFileCheck(process, true)) {
        return;
    }
    if (!isAwaited(index)) {
        qCDebug(lcSignFileModel).noquote() << "Signature check no longer awaited:" << process->arguments().join(QLatin1Char(' '));
    } else if (process->hasVerdict()) {
        const Bsign::VerificationResult result = process->verificationResult();
        FileSignatureStatus checked;
        checked.elfStatus = result.elfGood ? FileSignatureStatus::StatusSigned : FileSignatureStatus::StatusNotSigned;
        checked.xattrStatus = result.xattrGood ? FileSignatureStatus::StatusSigned : FileSignatureStatus::StatusNotSigned;
        checked.elfInfo = result.elfInfo;
        checked.xattrInfo = result.xattrInfo;
        storeStatus(index, checked);
    } else {
        qCDebug(lcSignFileModel).noquote() << "Signature check dropped:" << describeProcess(process);
        storeStatus(index, failedCheck());
    }
    process->deleteLater();
}

void SignFileModel::onErrorOccurred()
{
    Bsign *process = takeReporter();
    if (!process) {
        return;
    }
    const char *errorName = QMetaEnum::fromType<QProcess::ProcessError>().valueToKey(process->error());
    qCDebug(lcSignFileModel).noquote() << "Signature check failed:" << errorName << describeProcess(process);
    if (reportFileCheck(process, false)) {
        return;
    }
    if (isAwaited(process->index())) {
        storeStatus(process->index(), failedCheck());
    }
    process->deleteLater();
}

QString SignFileModel::describeProcess(const Bsign *process)
{
    auto *readable = const_cast<Bsign *>(process);
    return QStringLiteral("%1 %2, output: %3, errors: %4")
        .arg(process->program(), process->arguments().join(QLatin1Char(' ')), QString::fromLocal8Bit(readable->readAllStandardOutput()),
            QString::fromLocal8Bit(readable->readAllStandardError()));
}

void SignFileModel::storeStatus(const QPersistentModelIndex &index, const FileSignatureStatus &status)
{
    m_cache.insert(index, status);
    Q_EMIT dataChanged(elfIndex(index), xattrIndex(index), DisplayRoleOnly);
}

void SignFileModel::removeFromQueue(const QModelIndex &index)
{
    const QModelIndex common = commonIndex(index);
    if (!common.isValid()) {
        return;
    }
    m_cache.remove(QPersistentModelIndex(common));
    Q_EMIT dataChanged(elfIndex(common), xattrIndex(common), DisplayRoleOnly);
}

// Events are processed during the walk, so rows may come and go meanwhile: every index
// kept across a call is a persistent one.
void SignFileModel::removeFromQueueRecursive(const QModelIndex &parent)
{
    const bool isTop = !parent.isValid();
    const QPersistentModelIndex guardedParent(parent);
    for (int row = 0; (isTop || guardedParent.isValid()) && row < rowCount(guardedParent); ++row) {
        const QPersistentModelIndex child(index(row, 0, guardedParent));
        if (child.isValid()) {
            removeFromQueueRecursive(child);
            removeFromQueue(child);
        }
    }
    QCoreApplication::processEvents();
}

void SignFileModel::updateIndexesLevel(const QList<QModelIndex> &indexes)
{
    QList<QPersistentModelIndex> guarded;
    guarded.reserve(indexes.size());
    for (const QModelIndex &index : indexes) {
        guarded.append(index);
    }
    for (const QPersistentModelIndex &index : qAsConst(guarded)) {
        if (index.isValid()) {
            removeFromQueueRecursive(index);
            removeFromQueue(index);
        }
    }
}

void SignFileModel::setIsSigningRunning(bool running)
{
    m_isSigningRunning = running;
}

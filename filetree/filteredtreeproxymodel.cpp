#include "filteredtreeproxymodel.h"

#include "helperactivity.h"
#include "helpercall.h"
#include "helperjob.h"
#include "realpath.h"

#include <kcmos/rootfilesystemmodel.h>

#include <QFile>
#include <QFileInfo>
#include <QPointer>

namespace {
const QByteArray ElfMagic("\x7f"
                          "ELF",
    4);
}

FilteredTreeProxyModel::FilteredTreeProxyModel(QObject *parent)
    : CheckableTreeProxyModel(parent)
{
    connect(this, &QAbstractProxyModel::sourceModelChanged, this, [this]() {
        m_helperAnswers.clear();
        if (!sourceModel()) {
            return;
        }
        const auto forget = [this](const QModelIndex &parent) { forgetAnswersIn(parent); };
        connect(sourceModel(), &QAbstractItemModel::rowsInserted, this, forget);
        connect(sourceModel(), &QAbstractItemModel::rowsRemoved, this, forget);
    });
    // Questions held back while a long action had the helper are asked once it ends.
    connect(HelperActivity::instance(), &HelperActivity::changed, this, [this]() {
        if (!m_pendingPaths.isEmpty() && !m_helperQuestionScheduled && !isHelperBusy()) {
            m_helperQuestionScheduled = true;
            QMetaObject::invokeMethod(this, &FilteredTreeProxyModel::askHelperAboutPendingFiles, Qt::QueuedConnection);
        }
    });
}

bool FilteredTreeProxyModel::isHelperBusy()
{
    return HelperActivity::instance()->isBusy(HelperCall::DigsigNamespace);
}

FilteredTreeProxyModel::~FilteredTreeProxyModel() = default;

void FilteredTreeProxyModel::showOnlyElf(bool on)
{
    // Called on every tick as well: the view stays as it is unless the switch changes.
    if (on == m_showOnlyElf && !m_filterOutdated) {
        return;
    }
    m_showOnlyElf = on;
    m_filterOutdated = false;
    invalidateFilterAndData();
}

void FilteredTreeProxyModel::forgetAnswersIn(const QModelIndex &sourceDirectory)
{
    const auto *fileModel = qobject_cast<const KCMOS::RootFileSystemModel *>(sourceModel());
    if (!fileModel || !sourceDirectory.isValid()) {
        return;
    }
    const QString directory = fileModel->filePath(sourceDirectory);
    for (auto it = m_helperAnswers.begin(); it != m_helperAnswers.end();) {
        it = QFileInfo(it.key()).path() == directory ? m_helperAnswers.erase(it) : std::next(it);
    }
}

void FilteredTreeProxyModel::setIsSigningRunning(bool running)
{
    // Rows accepted during the run stay until the switch is set again.
    m_filterOutdated = m_filterOutdated || (m_isSigningRunning && !running);
    m_isSigningRunning = running;
}

bool FilteredTreeProxyModel::isElf(const QFileInfo &info)
{
    if (!info.isFile() || info.size() == 0) {
        return false;
    }
    QFile file(info.absoluteFilePath());
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    if (file.read(ElfMagic.size()) != ElfMagic) {
        return false;
    }
    // Object files carry the same header but are not programs or libraries.
    return info.suffix() != QLatin1String("o");
}

bool FilteredTreeProxyModel::isElf(const QString &path)
{
    KAuth::Action action = HelperCall::action(QStringLiteral("%1.setupsigning"), HelperCall::DigsigNamespace);
    action.addArgument(QStringLiteral("check_elf"), RealPath::resolve(path));
    HelperJob *job = HelperCall::execute(action);
    return job->exec();
}

bool FilteredTreeProxyModel::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const
{
    if (m_isSigningRunning || !sourceModel()) {
        return true;
    }
    const QModelIndex sourceIndex = sourceModel()->index(sourceRow, 0, sourceParent);
    const auto *fileModel = qobject_cast<const KCMOS::RootFileSystemModel *>(sourceModel());
    if (!sourceParent.isValid() || !sourceIndex.isValid() || !m_showOnlyElf || !fileModel) {
        return true;
    }
    const QString path = fileModel->filePath(sourceIndex);
    if (QFileInfo(path).isReadable()) {
        const QFileInfo info = fileModel->fileInfo(sourceIndex);
        return info.isDir() || isElf(info);
    }
    if (fileModel->isDir(sourceIndex)) {
        return true;
    }
    return acceptsUnreadable(path);
}

// The helper call runs a nested event loop. Inside a filter pass of QSortFilterProxyModel
// that loop would let the source model change under the pass (a re-sort or a removed row
// frees the very mapping the pass is walking), so the pass never calls the helper itself:
// an unreadable file is shown until the helper has answered, the questions are asked
// from the event loop once the pass is over, and the filter then runs again with the
// answers at hand.
bool FilteredTreeProxyModel::acceptsUnreadable(const QString &path) const
{
    const auto answer = m_helperAnswers.constFind(path);
    if (answer != m_helperAnswers.constEnd()) {
        return answer.value();
    }
    if (path != m_pathInQuestion && !m_pendingPaths.contains(path)) {
        m_pendingPaths.append(path);
    }
    if (!m_helperQuestionScheduled) {
        m_helperQuestionScheduled = true;
        auto *self = const_cast<FilteredTreeProxyModel *>(this);
        QMetaObject::invokeMethod(
            self, [self]() { self->askHelperAboutPendingFiles(); }, Qt::QueuedConnection);
    }
    return true;
}

void FilteredTreeProxyModel::askHelperAboutPendingFiles()
{
    m_helperQuestionScheduled = false;
    if (m_askingHelper) {
        // The running round picks up what was added meanwhile.
        return;
    }
    const QPointer<FilteredTreeProxyModel> self(this);
    m_askingHelper = true;
    bool answered = false;
    // A question asked while a long action holds the helper would wait for it unseen.
    while (!m_pendingPaths.isEmpty() && sourceModel() && !isHelperBusy()) {
        m_pathInQuestion = m_pendingPaths.takeFirst();
        const bool elf = isElf(m_pathInQuestion);
        if (!self) {
            return;
        }
        m_helperAnswers.insert(m_pathInQuestion, elf);
        m_pathInQuestion.clear();
        answered = true;
    }
    if (!sourceModel()) {
        m_pendingPaths.clear();
    }
    m_askingHelper = false;
    if (m_showOnlyElf && answered) {
        invalidateFilterAndData();
    }
}

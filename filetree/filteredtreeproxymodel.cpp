#include "filteredtreeproxymodel.h"

#include "helpercall.h"
#include "helperjob.h"

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
}

FilteredTreeProxyModel::~FilteredTreeProxyModel() = default;

void FilteredTreeProxyModel::showOnlyElf(bool on)
{
    m_showOnlyElf = on;
    invalidateFilterAndData();
}

void FilteredTreeProxyModel::setIsSigningRunning(bool running)
{
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
    action.addArgument(QStringLiteral("check_elf"), path);
    HelperJob *job = HelperCall::execute(action);
    return job->exec();
}

bool FilteredTreeProxyModel::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const
{
    if (m_isSigningRunning) {
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
    return acceptsUnreadable(sourceRow, sourceParent, sourceIndex);
}

// The helper call runs a nested event loop, in which the source model may change or even
// go away. Whatever this pass decided about a row that moved meanwhile is stale: answer
// "hidden" for now and filter again once the current pass is over.
bool FilteredTreeProxyModel::acceptsUnreadable(int sourceRow, const QModelIndex &sourceParent, const QModelIndex &sourceIndex) const
{
    const QPointer<const FilteredTreeProxyModel> self(this);
    const QPointer<QAbstractItemModel> source(sourceModel());
    const QPersistentModelIndex guardedIndex(sourceIndex);
    const QPersistentModelIndex guardedParent(sourceParent);
    const int rowsBefore = source->rowCount(sourceParent);

    const bool elf = isElf(static_cast<const KCMOS::RootFileSystemModel *>(source.data())->filePath(sourceIndex));

    if (!self) {
        return false;
    }
    if (!source || source != sourceModel() || !guardedIndex.isValid() || !guardedParent.isValid() || guardedIndex.row() != sourceRow
        || source->rowCount(guardedParent) != rowsBefore) {
        scheduleRefilter();
        return false;
    }
    return elf;
}

void FilteredTreeProxyModel::scheduleRefilter() const
{
    if (m_refilterScheduled) {
        return;
    }
    m_refilterScheduled = true;
    auto *self = const_cast<FilteredTreeProxyModel *>(this);
    QMetaObject::invokeMethod(
        self,
        [self]() {
            self->m_refilterScheduled = false;
            self->invalidateFilter();
        },
        Qt::QueuedConnection);
}

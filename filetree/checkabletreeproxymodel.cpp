#include "checkabletreeproxymodel.h"

namespace {
const QVector<int> CheckStateRoleOnly {Qt::CheckStateRole};

bool isCheckCell(const QModelIndex &index, int role)
{
    return index.column() == 0 && role == Qt::CheckStateRole;
}
}

CheckableTreeProxyModel::CheckableTreeProxyModel(QObject *parent)
    : QSortFilterProxyModel(parent)
{
}

CheckableTreeProxyModel::~CheckableTreeProxyModel() = default;

int CheckableTreeProxyModel::storedState(const QModelIndex &index) const
{
    return m_checkStates.value(QPersistentModelIndex(index), Qt::Unchecked);
}

bool CheckableTreeProxyModel::hasEntry(const QModelIndex &index) const
{
    return m_checkStates.contains(QPersistentModelIndex(index));
}

QVariant CheckableTreeProxyModel::data(const QModelIndex &index, int role) const
{
    if (!isCheckCell(index, role)) {
        return QSortFilterProxyModel::data(index, role);
    }
    return displayedState(index);
}

// Marks under a ticked directory are written down lazily: the parent of the deepest row
// shown gets its own entry once a grandchild of a ticked row is asked for.
int CheckableTreeProxyModel::displayedState(const QModelIndex &index) const
{
    const int state = storedState(index);
    const QModelIndex parent = index.parent();
    if (!parent.isValid()) {
        return state;
    }
    if (state != Qt::Unchecked) {
        if (hasEntry(parent)) {
            return state;
        }
        // Left over from an untick above this row.
        m_checkStates.remove(QPersistentModelIndex(index));
        return Qt::Unchecked;
    }
    if (storedState(parent) == Qt::Checked) {
        return Qt::Checked;
    }
    const QModelIndex grandParent = parent.parent();
    if (grandParent.isValid() && storedState(grandParent) == Qt::Checked) {
        m_checkStates.insert(QPersistentModelIndex(parent), Qt::Checked);
        return Qt::Checked;
    }
    return Qt::Unchecked;
}

bool CheckableTreeProxyModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid()) {
        return false;
    }
    if (!isCheckCell(index, role)) {
        return QSortFilterProxyModel::setData(index, value, role);
    }
    if (value.toInt() == Qt::Checked) {
        setCheckedState(index);
    } else {
        setUncheckedState(index);
    }
    return true;
}

Qt::ItemFlags CheckableTreeProxyModel::flags(const QModelIndex &index) const
{
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    if (index.column() != 0) {
        return QSortFilterProxyModel::flags(index);
    }
    const QModelIndex source = mapToSource(index);
    if (!source.model()) {
        return Qt::ItemIsUserCheckable;
    }
    return source.model()->flags(source) | Qt::ItemIsUserCheckable;
}

void CheckableTreeProxyModel::setSourceModel(QAbstractItemModel *sourceModel)
{
    reset();
    QSortFilterProxyModel::setSourceModel(sourceModel);
}

void CheckableTreeProxyModel::setCheckedState(const QModelIndex &index)
{
    uncheckAllChildfree(index, true);
    m_checkStates.insert(QPersistentModelIndex(index), Qt::Checked);
    QList<QModelIndex> changed {index};

    QModelIndex parent = index.parent();
    while (parent.isValid()) {
        const int children = rowCount(parent);
        bool allChecked = true;
        for (int row = 0; row < children; ++row) {
            const int state = storedState(this->index(row, 0, parent));
            if (state == Qt::Unchecked || state == Qt::PartiallyChecked) {
                allChecked = false;
                break;
            }
        }
        if (!allChecked) {
            if (hasEntry(parent)) {
                break;
            }
            m_checkStates.insert(QPersistentModelIndex(parent), Qt::PartiallyChecked);
            changed.prepend(parent);
        } else {
            m_checkStates.insert(QPersistentModelIndex(parent), Qt::Checked);
            changed.prepend(parent);
            uncheckAllChildfree(parent, false);
        }
        parent = parent.parent();
    }
    sendDataChangedSignal(changed);
}

void CheckableTreeProxyModel::setUncheckedState(const QModelIndex &index)
{
    checkAllChildrenIfParentChecked(index.parent());
    m_checkStates.remove(QPersistentModelIndex(index));
    QList<QModelIndex> changed {index};

    QModelIndex parent = index.parent();
    while (parent.isValid()) {
        const int children = rowCount(parent);
        bool anyMarked = false;
        for (int row = 0; row < children; ++row) {
            if (hasEntry(this->index(row, 0, parent))) {
                anyMarked = true;
                break;
            }
        }
        if (!anyMarked) {
            m_checkStates.remove(QPersistentModelIndex(parent));
            changed.prepend(parent);
        } else {
            if (storedState(parent) == Qt::PartiallyChecked) {
                break;
            }
            m_checkStates.insert(QPersistentModelIndex(parent), Qt::PartiallyChecked);
            changed.prepend(parent);
        }
        parent = parent.parent();
    }
    sendDataChangedSignal(changed);
}

void CheckableTreeProxyModel::uncheckAllChildfree(const QModelIndex &index, bool recursive)
{
    if (!index.isValid()) {
        return;
    }
    const int children = rowCount(index);
    for (int row = 0; row < children; ++row) {
        const QPersistentModelIndex child(this->index(row, 0, index));
        const auto entry = m_checkStates.find(child);
        if (entry == m_checkStates.end()) {
            continue;
        }
        if (recursive) {
            uncheckAllChildfree(child, true);
            m_checkStates.remove(child);
        } else {
            m_checkStates.erase(entry);
        }
    }
}

void CheckableTreeProxyModel::checkAllChildrenIfParentChecked(const QModelIndex &index)
{
    for (QModelIndex row = index; row.isValid() && storedState(row) == Qt::Checked; row = row.parent()) {
        const int children = rowCount(row);
        for (int i = 0; i < children; ++i) {
            const QModelIndex child = this->index(i, 0, row);
            if (!hasEntry(child)) {
                m_checkStates.insert(QPersistentModelIndex(child), Qt::Checked);
                Q_EMIT dataChanged(child, child, CheckStateRoleOnly);
            }
        }
    }
}

void CheckableTreeProxyModel::sendDataChangedSignal(const QList<QModelIndex> &indexes)
{
    for (const QModelIndex &index : indexes) {
        Q_EMIT dataChanged(index, index, CheckStateRoleOnly);
    }
    Q_EMIT someCheckedStateChenged();
    if (indexes.isEmpty()) {
        return;
    }
    const QModelIndex changedRow = indexes.last();
    const int children = rowCount(changedRow);
    if (children > 0) {
        Q_EMIT dataChanged(index(0, 0, changedRow), index(children - 1, 0, changedRow), CheckStateRoleOnly);
    }
}

QList<QModelIndex> CheckableTreeProxyModel::checkedList() const
{
    QList<QModelIndex> topmost;
    // Marks of siblings share their parent, so its state is looked up once per run of them.
    QModelIndex lastParent;
    bool lastParentPartial = false;
    for (auto entry = m_checkStates.constBegin(); entry != m_checkStates.constEnd(); ++entry) {
        const QPersistentModelIndex &row = entry.key();
        if (entry.value() != Qt::Checked || !row.isValid()) {
            continue;
        }
        const QModelIndex parent = row.parent();
        if (!parent.isValid()) {
            topmost.append(row);
            continue;
        }
        if (parent != lastParent) {
            lastParent = parent;
            lastParentPartial = storedState(parent) == Qt::PartiallyChecked;
        }
        if (lastParentPartial) {
            topmost.append(row);
        }
    }
    return topmost;
}

void CheckableTreeProxyModel::reset()
{
    m_checkStates.clear();
}

void CheckableTreeProxyModel::invalidateFilterAndData()
{
    invalidateFilter();
    if (!checkedList().isEmpty()) {
        return;
    }
    const QModelIndex top = index(0, 0);
    if (data(top, Qt::CheckStateRole).toInt() != Qt::Unchecked) {
        setData(top, Qt::Unchecked, Qt::CheckStateRole);
    }
}

#pragma once

#include <QHash>
#include <QList>
#include <QPersistentModelIndex>
#include <QSortFilterProxyModel>

// Puts a tri-state check box in the first column of a tree. Marks are kept sparse: a ticked
// directory holds one Checked entry for its whole subtree, and the marks of the rows below
// it are derived when a view asks for them.
class CheckableTreeProxyModel : public QSortFilterProxyModel
{
    Q_OBJECT
public:
    explicit CheckableTreeProxyModel(QObject *parent = nullptr);
    ~CheckableTreeProxyModel() override;

    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    void setSourceModel(QAbstractItemModel *sourceModel) override;

    void setCheckedState(const QModelIndex &index);
    void setUncheckedState(const QModelIndex &index);
    void uncheckAllChildfree(const QModelIndex &index, bool recursive);
    void checkAllChildrenIfParentChecked(const QModelIndex &index);
    void sendDataChangedSignal(const QList<QModelIndex> &indexes);

    // The topmost ticked rows: together they cover everything ticked.
    QList<QModelIndex> checkedList() const;

public Q_SLOTS:
    void reset();
    void invalidateFilterAndData();

Q_SIGNALS:
    void someCheckedStateChenged();

private:
    int storedState(const QModelIndex &index) const;
    bool hasEntry(const QModelIndex &index) const;
    int displayedState(const QModelIndex &index) const;

    mutable QHash<QPersistentModelIndex, Qt::CheckState> m_checkStates;
};

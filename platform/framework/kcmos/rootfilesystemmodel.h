#pragma once

#include "kcmos_export.h"

#include <QFileSystemModel>

namespace KCMOS
{
// File-system model of the whole tree for modules that work as root. Subclasses may
// add columns after the four of QFileSystemModel; they set the entry filter themselves.
class KCMOS_EXPORT RootFileSystemModel : public QFileSystemModel
{
    Q_OBJECT
public:
    explicit RootFileSystemModel(QObject *parent = nullptr);
    ~RootFileSystemModel() override;

    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex index(const QString &path, int column = 0) const;
    QModelIndex parent(const QModelIndex &child) const override;
    using QObject::parent;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    bool hasChildren(const QModelIndex &parent = QModelIndex()) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    void fetchMore(const QModelIndex &parent) override;
    bool canFetchMore(const QModelIndex &parent) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    bool isDir(const QModelIndex &index) const;
    QString filePath(const QModelIndex &index) const;

private:
    static constexpr int BaseColumnCount = 4;
};
}

#include "rootfilesystemmodel.h"

#include <QDir>
#include <QFileInfo>

namespace KCMOS
{
RootFileSystemModel::RootFileSystemModel(QObject *parent)
    : QFileSystemModel(parent)
{
    setReadOnly(true);
    setResolveSymlinks(false);
}

RootFileSystemModel::~RootFileSystemModel() = default;

// QFileSystemModel checks the column against the (virtual) column count, so extra
// columns of a subclass get real indexes that share the row's node.
QModelIndex RootFileSystemModel::index(int row, int column, const QModelIndex &parent) const
{
    return QFileSystemModel::index(row, column, parent);
}

QModelIndex RootFileSystemModel::index(const QString &path, int column) const
{
    return QFileSystemModel::index(path, column);
}

QModelIndex RootFileSystemModel::parent(const QModelIndex &child) const
{
    return QFileSystemModel::parent(child);
}

int RootFileSystemModel::rowCount(const QModelIndex &parent) const
{
    return QFileSystemModel::rowCount(parent);
}

bool RootFileSystemModel::hasChildren(const QModelIndex &parent) const
{
    return QFileSystemModel::hasChildren(parent);
}

bool RootFileSystemModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (index.column() >= BaseColumnCount) {
        return false;
    }
    return QFileSystemModel::setData(index, value, role);
}

void RootFileSystemModel::fetchMore(const QModelIndex &parent)
{
    QFileSystemModel::fetchMore(parent);
}

bool RootFileSystemModel::canFetchMore(const QModelIndex &parent) const
{
    return QFileSystemModel::canFetchMore(parent);
}

void RootFileSystemModel::sort(int column, Qt::SortOrder order)
{
    QFileSystemModel::sort(qMin(column, BaseColumnCount - 1), order);
}

QVariant RootFileSystemModel::data(const QModelIndex &index, int role) const
{
    if (index.column() >= BaseColumnCount) {
        return QVariant();
    }
    return QFileSystemModel::data(index, role);
}

// stat() needs no read right on the entry itself, so this answers for entries the
// user cannot open as well.
bool RootFileSystemModel::isDir(const QModelIndex &index) const
{
    if (!index.isValid()) {
        return true;
    }
    return QFileInfo(filePath(index)).isDir() || QFileSystemModel::isDir(index);
}

QString RootFileSystemModel::filePath(const QModelIndex &index) const
{
    const QString path = QFileSystemModel::filePath(index.sibling(index.row(), 0));
    return path.isEmpty() ? path : QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}
}

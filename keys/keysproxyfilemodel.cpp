#include "keysproxyfilemodel.h"

#include <QFileSystemModel>

KeysProxyFileModel::KeysProxyFileModel(QObject *parent)
    : QSortFilterProxyModel(parent)
    , m_source(new QFileSystemModel(this))
{
    setSourceModel(m_source);
}

KeysProxyFileModel::~KeysProxyFileModel() = default;

QModelIndex KeysProxyFileModel::setRootPath(const QString &path)
{
    return m_source->setRootPath(path);
}

QModelIndex KeysProxyFileModel::rootIndex() const
{
    return m_source->index(m_source->rootPath(), 0);
}

void KeysProxyFileModel::setDirFilters(const QList<QRegExp> &filters, const QModelIndex &parent)
{
    m_dirFilters[parent].append(filters);
    invalidateFilter();
}

void KeysProxyFileModel::setFileNameFilters(const QList<QRegExp> &filters, const QModelIndex &parent)
{
    m_fileNameFilters[parent].append(filters);
    invalidateFilter();
}

bool KeysProxyFileModel::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const
{
    const QModelIndex index = m_source->index(sourceRow, filterKeyColumn(), sourceParent);
    return indexContaints(index, m_source->isDir(index) ? m_dirFilters : m_fileNameFilters);
}

bool KeysProxyFileModel::indexContaints(const QModelIndex &index, const QMap<QModelIndex, QList<QRegExp>> &filters) const
{
    const QModelIndex parent = index.parent();
    auto entry = filters.constFind(parent);
    if (entry == filters.cend()) {
        entry = filters.constFind(QModelIndex());
    }
    if (entry == filters.cend()) {
        return true;
    }
    return dataContains(index.data(Qt::DisplayRole).toString(), entry.value());
}

bool KeysProxyFileModel::dataContains(const QString &text, const QList<QRegExp> &filters) const
{
    for (const QRegExp &filter : filters) {
        if (filter.indexIn(text, 0) >= 0) {
            return true;
        }
    }
    return false;
}

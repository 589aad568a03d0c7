#pragma once

#include <QList>
#include <QMap>
#include <QModelIndex>
#include <QRegExp>
#include <QSortFilterProxyModel>

class QFileSystemModel;

// A file-system view that shows, per parent directory, only the sub-directories and file
// names found by lists of patterns. The invalid index holds the patterns of every parent
// that has no list of its own.
class KeysProxyFileModel : public QSortFilterProxyModel
{
    Q_OBJECT
public:
    explicit KeysProxyFileModel(QObject *parent = nullptr);
    ~KeysProxyFileModel() override;

    QModelIndex setRootPath(const QString &path);
    // The source index of the source model's root path.
    QModelIndex rootIndex() const;

    // Add patterns to the list of a parent (a source index); the list is extended, not replaced.
    void setDirFilters(const QList<QRegExp> &filters, const QModelIndex &parent = QModelIndex());
    void setFileNameFilters(const QList<QRegExp> &filters, const QModelIndex &parent = QModelIndex());

    bool indexContaints(const QModelIndex &index, const QMap<QModelIndex, QList<QRegExp>> &filters) const;
    bool dataContains(const QString &text, const QList<QRegExp> &filters) const;

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;

private:
    QFileSystemModel *m_source;
    QMap<QModelIndex, QList<QRegExp>> m_dirFilters;
    QMap<QModelIndex, QList<QRegExp>> m_fileNameFilters;
};

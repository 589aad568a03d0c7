#pragma once

#include <QModelIndex>
#include <QString>

// Keeps a file-system model from loading directories outside a test's own directory.
// QAbstractItemModelTester fetches every level it can reach, which for a model whose top
// row is "/" would mean walking the machine's whole file system.
template<typename Model>
class Fenced : public Model
{
public:
    explicit Fenced(const QString &fence)
        : m_fence(fence)
    {
    }

    bool canFetchMore(const QModelIndex &parent) const override { return isInside(parent) && Model::canFetchMore(parent); }

    void fetchMore(const QModelIndex &parent) override
    {
        if (isInside(parent)) {
            Model::fetchMore(parent);
        }
    }

private:
    bool isInside(const QModelIndex &parent) const
    {
        const QString path = this->filePath(parent);
        return path == m_fence || path.startsWith(m_fence + QLatin1Char('/'));
    }

    QString m_fence;
};

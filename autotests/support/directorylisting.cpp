#include "directorylisting.h"

#include <QAbstractProxyModel>
#include <QDir>
#include <QFile>
#include <QFileSystemModel>
#include <QTest>

namespace DirectoryListing {
bool waitUntilListed(QFileSystemModel *model, const QString &path)
{
    const QModelIndex index = model->index(path);
    if (!index.isValid()) {
        return false;
    }
    if (model->canFetchMore(index)) {
        model->fetchMore(index);
    }
    // The model hides what QDir hides by default: dot entries and hidden files.
    const int entries = QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size();
    return QTest::qWaitFor([&] { return model->rowCount(model->index(path)) == entries; });
}

QStringList shownNames(const QAbstractProxyModel *proxy, const QString &path)
{
    const auto source = qobject_cast<QFileSystemModel *>(proxy->sourceModel());
    const QModelIndex parent = proxy->mapFromSource(source->index(path));
    QStringList names;
    for (int row = 0; row < proxy->rowCount(parent); ++row) {
        names.append(proxy->index(row, 0, parent).data().toString());
    }
    names.sort();
    return names;
}

bool create(const QString &root, const QStringList &entries)
{
    for (const QString &entry : entries) {
        const QString path = root + QLatin1Char('/') + entry;
        if (entry.endsWith(QLatin1Char('/'))) {
            if (!QDir().mkpath(path)) {
                return false;
            }
            continue;
        }
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write("key\n") < 0) {
            return false;
        }
    }
    return true;
}
}

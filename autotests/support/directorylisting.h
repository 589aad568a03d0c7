#pragma once

#include <QStringList>

class QAbstractProxyModel;
class QFileSystemModel;

// QFileSystemModel reads directories in the background; these wait for a listing.
namespace DirectoryListing {
// Asks for the directory's entries and waits, five seconds at most, until the model holds all of them.
bool waitUntilListed(QFileSystemModel *model, const QString &path);
// The sorted names that the proxy shows below the directory.
QStringList shownNames(const QAbstractProxyModel *proxy, const QString &path);
// Creates the files and directories (names ending in "/") below the root.
bool create(const QString &root, const QStringList &entries);
}

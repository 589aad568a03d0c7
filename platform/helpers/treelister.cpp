#include "treelister.h"

#include "argumentcheck.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace {
QString checkedPath(const QVariant &value, QString *path)
{
    if (!ArgumentCheck::textValue(value, path)) {
        return QStringLiteral("The path must be a text");
    }
    const QString problem = ArgumentCheck::absolutePathProblem(*path);
    return problem.isEmpty() ? QString() : QStringLiteral("Invalid path: %1").arg(problem);
}

// What one entry adds to the reply: the path as UTF-16 with its length, and a boolean variant.
qint64 encodedEntrySize(const QString &path)
{
    return 4 + 2 * qint64(path.size()) + 9;
}

class Listing
{
public:
    bool add(const QString &directory)
    {
        QDirIterator entries(directory, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        while (entries.hasNext()) {
            entries.next();
            const QFileInfo info = entries.fileInfo();
            if (info.isDir() && !info.isSymLink()) {
                if (!add(info.filePath())) {
                    return false;
                }
                continue;
            }
            m_bytes += encodedEntrySize(info.filePath());
            if (m_files.size() >= TreeLister::MaxEntries || m_bytes > TreeLister::MaxReplyBytes) {
                return false;
            }
            m_files.insert(info.filePath(), info.isFile() && !info.isSymLink());
        }
        return true;
    }

    QVariantMap files() const { return m_files; }

private:
    QVariantMap m_files;
    qint64 m_bytes = 0;
};
}

bool TreeLister::isElf(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isFile() || info.size() == 0) {
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    return file.read(4)
        == QByteArray("\x7f"
                      "ELF",
            4)
        && info.suffix() != QLatin1String("o");
}

HelperResult TreeLister::checkElf(const QVariant &value)
{
    QString path;
    const QString problem = checkedPath(value, &path);
    if (!problem.isEmpty()) {
        return HelperResult::failure(problem);
    }
    if (!isElf(path)) {
        return HelperResult::failure(QStringLiteral("%1 is not an ELF file").arg(path));
    }
    return HelperResult::success();
}

HelperResult TreeLister::listDirectory(const QVariant &value)
{
    QString path;
    const QString problem = checkedPath(value, &path);
    if (!problem.isEmpty()) {
        return HelperResult::failure(problem);
    }
    const QFileInfo info(path);
    if (info.isSymLink()) {
        return HelperResult::failure(QStringLiteral("%1 is a symbolic link, not a directory").arg(path));
    }
    if (!info.isDir()) {
        return HelperResult::failure(QStringLiteral("%1 is not a directory").arg(path));
    }
    Listing listing;
    if (!listing.add(path)) {
        return HelperResult::failure(QStringLiteral("%1 holds too many files to list at once (at most %2 files and %3 MiB of names)")
                                         .arg(path)
                                         .arg(MaxEntries)
                                         .arg(MaxReplyBytes / (1024 * 1024)));
    }
    return HelperResult::success(listing.files());
}

#include "scratchfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFileSystemModel>
#include <QTest>

#include <pwd.h>
#include <unistd.h>

bool Scratch::write(const QString &path, const QByteArray &content, QFileDevice::Permissions permissions)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size() && (!permissions || file.setPermissions(permissions));
}

QByteArray Scratch::read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QMap<QString, QByteArray> Scratch::snapshot(const QString &root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(path, read(path));
    }
    return files;
}

bool Scratch::loadDirectory(QFileSystemModel *model, const QString &path)
{
    // The model sorts rows as they arrive, so the index is looked up afresh each time.
    const int expected = QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size();
    if (model->canFetchMore(model->index(path))) {
        model->fetchMore(model->index(path));
    }
    return QTest::qWaitFor([&]() { return model->rowCount(model->index(path)) == expected; }, 5000);
}

Scratch::RealUserScope::RealUserScope()
{
    const passwd *nobody = getpwnam("nobody");
    m_active = nobody && setresuid(nobody->pw_uid, uid_t(-1), uid_t(-1)) == 0;
}

Scratch::RealUserScope::~RealUserScope()
{
    if (m_active) {
        setresuid(0, uid_t(-1), uid_t(-1));
    }
}

bool Scratch::RealUserScope::isActive() const
{
    return m_active;
}

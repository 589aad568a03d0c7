#include "keysproxyfilemodel.h"

#include "directorylisting.h"

#include <QFileSystemModel>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
QList<QRegExp> patterns(const QStringList &texts)
{
    QList<QRegExp> list;
    for (const QString &text : texts) {
        list.append(QRegExp(text));
    }
    return list;
}

QFileSystemModel *sourceOf(const KeysProxyFileModel &proxy)
{
    return qobject_cast<QFileSystemModel *>(proxy.sourceModel());
}
}

class KeysProxyFileModelTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void ownsFileSystemSource();
    void rootPathAndIndex();
    void dataContains_data();
    void dataContains();
    void indexContaintsPrefersOwnEntry();
    void unfilteredParentsShowEverything();
    void fileNameFiltersExtendNotReplace();
    void dirFiltersExtendNotReplace();
    void emptyListHidesEveryFile();
    void defaultEntryServesOtherParents();

private:
    bool listed(KeysProxyFileModel &proxy, const QString &path);

    std::unique_ptr<QTemporaryDir> m_dir;
};

void KeysProxyFileModelTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(DirectoryListing::create(m_dir->path(),
        {QStringLiteral("a.gpg"), QStringLiteral("b.asc"), QStringLiteral("c.txt"), QStringLiteral("keys/"), QStringLiteral("keys/k.gpg"),
            QStringLiteral("keys/k.txt"), QStringLiteral("certs/"), QStringLiteral("other/")}));
}

bool KeysProxyFileModelTest::listed(KeysProxyFileModel &proxy, const QString &path)
{
    return DirectoryListing::waitUntilListed(sourceOf(proxy), path);
}

void KeysProxyFileModelTest::ownsFileSystemSource()
{
    KeysProxyFileModel proxy;
    QFileSystemModel *source = sourceOf(proxy);
    QVERIFY(source);
    QCOMPARE(source->parent(), &proxy);
    QCOMPARE(proxy.filterKeyColumn(), 0);
}

void KeysProxyFileModelTest::rootPathAndIndex()
{
    KeysProxyFileModel proxy;
    const QModelIndex given = proxy.setRootPath(m_dir->path());
    QVERIFY(given.isValid());
    QCOMPARE(proxy.rootIndex(), given);
    QCOMPARE(sourceOf(proxy)->filePath(proxy.rootIndex()), m_dir->path());
}

void KeysProxyFileModelTest::dataContains_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("patterns");
    QTest::addColumn<bool>("expected");

    const QStringList gpg {QStringLiteral(".+\\.gpg")};
    QTest::newRow("key file") << QStringLiteral("ABCD.gpg") << gpg << true;
    QTest::newRow("extension alone") << QStringLiteral(".gpg") << gpg << false;
    QTest::newRow("backup copy") << QStringLiteral("x.gpg.bak") << gpg << true;
    QTest::newRow("other extension") << QStringLiteral("x.asc") << gpg << false;
    QTest::newRow("case matters") << QStringLiteral("X.GPG") << gpg << false;
    QTest::newRow("empty list") << QStringLiteral("x.gpg") << QStringList() << false;
    QTest::newRow("second pattern finds it") << QStringLiteral("xattr_keys") << QStringList {QStringLiteral("^certs$"), QStringLiteral("keys")} << true;
    QTest::newRow("found anywhere in the name") << QStringLiteral("my_keys_old") << QStringList {QStringLiteral("keys")} << true;
    QTest::newRow("no pattern finds it") << QStringLiteral("other") << QStringList {QStringLiteral("keys"), QStringLiteral("xattr_keys")} << false;
}

void KeysProxyFileModelTest::dataContains()
{
    QFETCH(QString, text);
    QFETCH(QStringList, patterns);
    QFETCH(bool, expected);

    const KeysProxyFileModel proxy;
    QCOMPARE(proxy.dataContains(text, ::patterns(patterns)), expected);
}

void KeysProxyFileModelTest::indexContaintsPrefersOwnEntry()
{
    KeysProxyFileModel proxy;
    const QModelIndex root = proxy.setRootPath(m_dir->path());
    QVERIFY(listed(proxy, m_dir->path()));
    const QModelIndex file = sourceOf(proxy)->index(m_dir->filePath(QStringLiteral("a.gpg")));
    QVERIFY(file.isValid());

    QMap<QModelIndex, QList<QRegExp>> filters;
    QVERIFY(proxy.indexContaints(file, filters)); // no entry at all: accepted
    filters.insert(QModelIndex(), patterns({QStringLiteral("\\.asc")}));
    QVERIFY(!proxy.indexContaints(file, filters)); // the default entry
    filters.insert(root, patterns({QStringLiteral("\\.gpg")}));
    QVERIFY(proxy.indexContaints(file, filters)); // its parent's own entry wins
}

void KeysProxyFileModelTest::unfilteredParentsShowEverything()
{
    KeysProxyFileModel proxy;
    proxy.setRootPath(m_dir->path());
    QVERIFY(listed(proxy, m_dir->path()));
    QCOMPARE(DirectoryListing::shownNames(&proxy, m_dir->path()),
        (QStringList {QStringLiteral("a.gpg"), QStringLiteral("b.asc"), QStringLiteral("c.txt"), QStringLiteral("certs"), QStringLiteral("keys"),
            QStringLiteral("other")}));
}

void KeysProxyFileModelTest::fileNameFiltersExtendNotReplace()
{
    KeysProxyFileModel proxy;
    const QModelIndex root = proxy.setRootPath(m_dir->path());
    proxy.setFileNameFilters(patterns({QStringLiteral("\\.gpg$")}), root);
    proxy.setFileNameFilters(patterns({QStringLiteral("\\.asc$")}), root);
    QVERIFY(listed(proxy, m_dir->path()));
    QCOMPARE(DirectoryListing::shownNames(&proxy, m_dir->path()),
        (QStringList {QStringLiteral("a.gpg"), QStringLiteral("b.asc"), QStringLiteral("certs"), QStringLiteral("keys"), QStringLiteral("other")}));
}

void KeysProxyFileModelTest::dirFiltersExtendNotReplace()
{
    KeysProxyFileModel proxy;
    const QModelIndex root = proxy.setRootPath(m_dir->path());
    proxy.setDirFilters(patterns({QStringLiteral("keys")}), root);
    proxy.setDirFilters(patterns({QStringLiteral("certs")}), root);
    QVERIFY(listed(proxy, m_dir->path()));
    QCOMPARE(DirectoryListing::shownNames(&proxy, m_dir->path()),
        (QStringList {QStringLiteral("a.gpg"), QStringLiteral("b.asc"), QStringLiteral("c.txt"), QStringLiteral("certs"), QStringLiteral("keys")}));
}

void KeysProxyFileModelTest::emptyListHidesEveryFile()
{
    KeysProxyFileModel proxy;
    const QModelIndex root = proxy.setRootPath(m_dir->path());
    proxy.setFileNameFilters({}, root);
    QVERIFY(listed(proxy, m_dir->path()));
    QCOMPARE(DirectoryListing::shownNames(&proxy, m_dir->path()), (QStringList {QStringLiteral("certs"), QStringLiteral("keys"), QStringLiteral("other")}));
}

void KeysProxyFileModelTest::defaultEntryServesOtherParents()
{
    KeysProxyFileModel proxy;
    const QModelIndex root = proxy.setRootPath(m_dir->path());
    proxy.setFileNameFilters({}, root);
    proxy.setFileNameFilters(patterns({QStringLiteral("\\.gpg")}));
    const QString keys = m_dir->filePath(QStringLiteral("keys"));
    QVERIFY(listed(proxy, m_dir->path()));
    QVERIFY(listed(proxy, keys));
    QCOMPARE(DirectoryListing::shownNames(&proxy, keys), QStringList {QStringLiteral("k.gpg")});
    QCOMPARE(DirectoryListing::shownNames(&proxy, m_dir->path()), (QStringList {QStringLiteral("certs"), QStringLiteral("keys"), QStringLiteral("other")}));
}

QTEST_MAIN(KeysProxyFileModelTest)

#include "keysproxyfilemodeltest.moc"

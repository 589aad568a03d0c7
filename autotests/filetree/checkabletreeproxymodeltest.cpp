#include "checkabletreeproxymodel.h"
#include "fencedmodel.h"

#include <kcmos/rootfilesystemmodel.h>

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {
// Hides the rows whose names are listed, to re-filter under ticked rows.
class HidingProxy : public CheckableTreeProxyModel
{
public:
    QStringList hiddenNames;

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override
    {
        const QModelIndex source = sourceModel()->index(sourceRow, 0, sourceParent);
        return !hiddenNames.contains(source.data().toString());
    }
};
}

class CheckableTreeProxyModelTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void tickingOneChildMarksAncestorsPartial();
    void tickingLastChildChecksParentAndGoesUp();
    void untickingInsideTickedDirectory();
    void untickingOnlyTickedChildClearsUpward();
    void checkedListHoldsTopmostRows();
    void newLevelUnderTickedDirectoryIsDerived();
    void deepTickThenUntickInside();
    void announcementsOrder();
    void flagsAndSetData();
    void resetAndNewSource();
    void refilterHidingTickedRowsUnticksTop();
    void refilterKeepsTopWhileSomethingTicked();

private:
    void createTree();
    bool load(const QString &relativePath);
    QModelIndex row(const QString &relativePath) const;
    int state(const QString &relativePath) const;
    int shownState(const QString &relativePath) const;
    bool tick(const QString &relativePath, Qt::CheckState state);
    QStringList checkedPaths() const;

    QTemporaryDir *m_dir = nullptr;
    KCMOS::RootFileSystemModel *m_source = nullptr;
    HidingProxy *m_proxy = nullptr;
    QAbstractItemModelTester *m_tester = nullptr;
};

void CheckableTreeProxyModelTest::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    createTree();
    m_source = new Fenced<KCMOS::RootFileSystemModel>(m_dir->path());
    m_source->setFilter(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    m_proxy = new HidingProxy;
    m_proxy->setSourceModel(m_source);
    m_tester = new QAbstractItemModelTester(m_proxy, QAbstractItemModelTester::FailureReportingMode::QtTest);
    m_source->setRootPath(m_dir->path());
    QVERIFY(load(QString()));
    QVERIFY(load(QStringLiteral("tree")));
    QVERIFY(load(QStringLiteral("tree/a")));
    QVERIFY(load(QStringLiteral("tree/b")));
}

void CheckableTreeProxyModelTest::cleanup()
{
    delete m_tester;
    delete m_proxy;
    delete m_source;
    delete m_dir;
}

void CheckableTreeProxyModelTest::createTree()
{
    for (const char *directory : {"tree/a/sub", "tree/b", "other"}) {
        QDir(m_dir->path()).mkpath(QLatin1String(directory));
    }
    for (const char *file : {"tree/a/a1", "tree/a/a2", "tree/a/a3", "tree/a/sub/s1", "tree/a/sub/s2", "tree/b/b1", "tree/c"}) {
        QFile(m_dir->filePath(QLatin1String(file))).open(QIODevice::WriteOnly);
    }
}

bool CheckableTreeProxyModelTest::load(const QString &relativePath)
{
    // The model sorts rows as they arrive, so indexes are looked up afresh each time.
    const QString path = relativePath.isEmpty() ? m_dir->path() : m_dir->filePath(relativePath);
    const int expected = QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size();
    if (m_source->canFetchMore(m_source->index(path))) {
        m_source->fetchMore(m_source->index(path));
    }
    return QTest::qWaitFor(
        [&]() {
            const QModelIndex directory = m_source->index(path);
            return m_source->rowCount(directory) == expected && m_proxy->rowCount(m_proxy->mapFromSource(directory)) == expected;
        },
        10000);
}

QModelIndex CheckableTreeProxyModelTest::row(const QString &relativePath) const
{
    if (relativePath == QLatin1String("/")) {
        return m_proxy->index(0, 0);
    }
    const QString path = relativePath.isEmpty() ? m_dir->path() : m_dir->filePath(relativePath);
    return m_proxy->mapFromSource(m_source->index(path));
}

int CheckableTreeProxyModelTest::state(const QString &relativePath) const
{
    return m_proxy->data(row(relativePath), Qt::CheckStateRole).toInt();
}

// Asks for every ancestor's mark first, in the order a view shows them.
int CheckableTreeProxyModelTest::shownState(const QString &relativePath) const
{
    QList<QModelIndex> path;
    for (QModelIndex index = row(relativePath); index.isValid(); index = index.parent()) {
        path.prepend(index);
    }
    int shown = 0;
    for (const QModelIndex &index : qAsConst(path)) {
        shown = m_proxy->data(index, Qt::CheckStateRole).toInt();
    }
    return shown;
}

bool CheckableTreeProxyModelTest::tick(const QString &relativePath, Qt::CheckState state)
{
    return m_proxy->setData(row(relativePath), state, Qt::CheckStateRole);
}

QStringList CheckableTreeProxyModelTest::checkedPaths() const
{
    QStringList paths;
    const QList<QModelIndex> checked = m_proxy->checkedList();
    for (const QModelIndex &index : checked) {
        paths.append(QDir(m_dir->path()).relativeFilePath(m_source->filePath(m_proxy->mapToSource(index))));
    }
    paths.sort();
    return paths;
}

void CheckableTreeProxyModelTest::tickingOneChildMarksAncestorsPartial()
{
    QSignalSpy announced(m_proxy, &CheckableTreeProxyModel::someCheckedStateChenged);
    QVERIFY(tick(QStringLiteral("tree/a/a1"), Qt::Checked));
    QCOMPARE(announced.count(), 1);
    QCOMPARE(state(QStringLiteral("tree/a/a1")), 2);
    QCOMPARE(state(QStringLiteral("tree/a/a2")), 0);
    QCOMPARE(state(QStringLiteral("tree/a")), 1);
    QCOMPARE(state(QStringLiteral("tree")), 1);
    QCOMPARE(state(QString()), 1);
    QCOMPARE(state(QStringLiteral("/")), 1);
    QCOMPARE(state(QStringLiteral("tree/b")), 0);
    QCOMPARE(checkedPaths(), QStringList {QStringLiteral("tree/a/a1")});

    // The walk stops at the first ancestor that already has a mark.
    QSignalSpy changed(m_proxy, &QAbstractItemModel::dataChanged);
    QVERIFY(tick(QStringLiteral("tree/a/a2"), Qt::Checked));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(state(QStringLiteral("tree/a")), 1);
}

void CheckableTreeProxyModelTest::tickingLastChildChecksParentAndGoesUp()
{
    for (const char *name : {"tree/a/a1", "tree/a/a2", "tree/a/a3"}) {
        tick(QLatin1String(name), Qt::Checked);
    }
    QCOMPARE(state(QStringLiteral("tree/a")), 1);
    tick(QStringLiteral("tree/a/sub"), Qt::Checked);
    QCOMPARE(state(QStringLiteral("tree/a")), 2);
    QCOMPARE(checkedPaths(), QStringList {QStringLiteral("tree/a")});
    QCOMPARE(state(QStringLiteral("tree/a/a2")), 2);

    tick(QStringLiteral("tree/b/b1"), Qt::Checked);
    QCOMPARE(state(QStringLiteral("tree/b")), 2);
    tick(QStringLiteral("tree/c"), Qt::Checked);
    QCOMPARE(state(QStringLiteral("tree")), 2);
    QCOMPARE(checkedPaths(), QStringList {QStringLiteral("tree")});
    // "other" stays unticked, so the test directory is only partly ticked.
    QCOMPARE(state(QString()), 1);
    QCOMPARE(state(QStringLiteral("tree/a/a1")), 2);
}

void CheckableTreeProxyModelTest::untickingInsideTickedDirectory()
{
    tick(QStringLiteral("tree/a"), Qt::Checked);
    QCOMPARE(state(QStringLiteral("tree/a/a2")), 2);
    tick(QStringLiteral("tree/a/a2"), Qt::Unchecked);
    QCOMPARE(state(QStringLiteral("tree/a")), 1);
    QCOMPARE(state(QStringLiteral("tree/a/a2")), 0);
    QCOMPARE(state(QStringLiteral("tree/a/a1")), 2);
    QCOMPARE(state(QStringLiteral("tree/a/sub")), 2);
    QCOMPARE(checkedPaths(), (QStringList {QStringLiteral("tree/a/a1"), QStringLiteral("tree/a/a3"), QStringLiteral("tree/a/sub")}));
    QCOMPARE(state(QStringLiteral("tree")), 1);
}

void CheckableTreeProxyModelTest::untickingOnlyTickedChildClearsUpward()
{
    tick(QStringLiteral("tree/a/a1"), Qt::Checked);
    tick(QStringLiteral("tree/a/a1"), Qt::Unchecked);
    QCOMPARE(state(QStringLiteral("/")), 0);
    QCOMPARE(state(QString()), 0);
    QCOMPARE(state(QStringLiteral("tree")), 0);
    QCOMPARE(state(QStringLiteral("tree/a")), 0);
    QCOMPARE(state(QStringLiteral("tree/a/a1")), 0);
    QVERIFY(checkedPaths().isEmpty());

    // With a ticked sibling branch the walk stops at the shared partly ticked ancestor.
    tick(QStringLiteral("tree/a/a1"), Qt::Checked);
    tick(QStringLiteral("tree/b/b1"), Qt::Checked);
    tick(QStringLiteral("tree/a/a1"), Qt::Unchecked);
    QCOMPARE(state(QStringLiteral("tree/a")), 0);
    QCOMPARE(state(QStringLiteral("tree")), 1);
    QCOMPARE(checkedPaths(), QStringList {QStringLiteral("tree/b")});
}

void CheckableTreeProxyModelTest::checkedListHoldsTopmostRows()
{
    tick(QStringLiteral("tree/b"), Qt::Checked);
    tick(QStringLiteral("tree/a/a1"), Qt::Checked);
    QCOMPARE(checkedPaths(), (QStringList {QStringLiteral("tree/a/a1"), QStringLiteral("tree/b")}));
}

void CheckableTreeProxyModelTest::newLevelUnderTickedDirectoryIsDerived()
{
    tick(QStringLiteral("tree/a"), Qt::Checked);
    QVERIFY(load(QStringLiteral("tree/a/sub")));
    QSignalSpy changed(m_proxy, &QAbstractItemModel::dataChanged);
    QCOMPARE(state(QStringLiteral("tree/a/sub")), 2);
    QCOMPARE(state(QStringLiteral("tree/a/sub/s1")), 2);
    QCOMPARE(state(QStringLiteral("tree/a/sub/s2")), 2);
    QCOMPARE(changed.count(), 0);
    QCOMPARE(checkedPaths(), QStringList {QStringLiteral("tree/a")});

    // Unticking the directory clears what was written down below it, once shown again.
    tick(QStringLiteral("tree/a"), Qt::Unchecked);
    QCOMPARE(state(QStringLiteral("tree/a/sub")), 0);
    QCOMPARE(state(QStringLiteral("tree/a/sub/s1")), 0);
    QVERIFY(checkedPaths().isEmpty());
}

void CheckableTreeProxyModelTest::deepTickThenUntickInside()
{
    tick(QStringLiteral("tree/a"), Qt::Checked);
    QVERIFY(load(QStringLiteral("tree/a/sub")));
    QCOMPARE(state(QStringLiteral("tree/a/sub/s1")), 2);

    QSignalSpy changed(m_proxy, &QAbstractItemModel::dataChanged);
    tick(QStringLiteral("tree/a/sub/s1"), Qt::Unchecked);
    QCOMPARE(state(QStringLiteral("tree/a/sub/s1")), 0);
    QCOMPARE(state(QStringLiteral("tree/a/sub/s2")), 2);
    QCOMPARE(state(QStringLiteral("tree/a/sub")), 1);
    QCOMPARE(state(QStringLiteral("tree/a")), 1);
    QCOMPARE(state(QStringLiteral("tree/a/a1")), 2);
    QCOMPARE(state(QStringLiteral("tree")), 1);
    QCOMPARE(
        checkedPaths(), (QStringList {QStringLiteral("tree/a/a1"), QStringLiteral("tree/a/a2"), QStringLiteral("tree/a/a3"), QStringLiteral("tree/a/sub/s2")}));
    QVERIFY(changed.count() >= 3);

    // Ticking it again restores the single mark of the directory.
    tick(QStringLiteral("tree/a/sub/s1"), Qt::Checked);
    QCOMPARE(state(QStringLiteral("tree/a/sub")), 2);
    QCOMPARE(state(QStringLiteral("tree/a")), 2);
    QCOMPARE(checkedPaths(), QStringList {QStringLiteral("tree/a")});
}

void CheckableTreeProxyModelTest::announcementsOrder()
{
    tick(QStringLiteral("tree/b/b1"), Qt::Checked);
    QSignalSpy changed(m_proxy, &QAbstractItemModel::dataChanged);
    QSignalSpy announced(m_proxy, &CheckableTreeProxyModel::someCheckedStateChenged);
    tick(QStringLiteral("tree/a"), Qt::Checked);
    QCOMPARE(announced.count(), 1);
    // The path from the first new mark down to the row, then the row's children at once.
    QCOMPARE(changed.count(), 2);
    QCOMPARE(changed.at(0).at(0).toModelIndex(), row(QStringLiteral("tree/a")));
    QCOMPARE(changed.at(1).at(0).toModelIndex(), m_proxy->index(0, 0, row(QStringLiteral("tree/a"))));
    QCOMPARE(changed.at(1).at(1).toModelIndex(), m_proxy->index(3, 0, row(QStringLiteral("tree/a"))));
    QCOMPARE(changed.at(1).at(2).value<QVector<int>>(), QVector<int> {Qt::CheckStateRole});

    changed.clear();
    tick(QStringLiteral("tree/a/sub"), Qt::Unchecked);
    QCOMPARE(changed.at(0).at(0).toModelIndex(), m_proxy->index(0, 0, row(QStringLiteral("tree/a"))));
    const QModelIndex lastSingle = changed.last().at(0).toModelIndex();
    QCOMPARE(lastSingle, row(QStringLiteral("tree/a/sub")));
}

void CheckableTreeProxyModelTest::flagsAndSetData()
{
    const Qt::ItemFlags fileFlags = m_proxy->flags(row(QStringLiteral("tree/a/a1")));
    QVERIFY(fileFlags.testFlag(Qt::ItemIsUserCheckable));
    QVERIFY(fileFlags.testFlag(Qt::ItemIsEnabled));
    QVERIFY(!fileFlags.testFlag(Qt::ItemIsUserTristate));
    QVERIFY(!fileFlags.testFlag(Qt::ItemIsAutoTristate));
    QVERIFY(!m_proxy->flags(row(QStringLiteral("tree/a/a1")).siblingAtColumn(1)).testFlag(Qt::ItemIsUserCheckable));
    QCOMPARE(m_proxy->flags(QModelIndex()), Qt::NoItemFlags);

    QVERIFY(!m_proxy->setData(QModelIndex(), Qt::Checked, Qt::CheckStateRole));
    QVERIFY(tick(QStringLiteral("tree/a/a1"), Qt::Checked));
    // A click on a partly ticked row asks for Checked; anything but 2 unticks.
    QVERIFY(tick(QStringLiteral("tree/a/a1"), Qt::PartiallyChecked));
    QCOMPARE(state(QStringLiteral("tree/a/a1")), 0);
    QVERIFY(!m_proxy->data(row(QStringLiteral("tree/a/a1")).siblingAtColumn(1), Qt::CheckStateRole).isValid());
    QCOMPARE(m_proxy->data(row(QStringLiteral("tree/a/a1"))).toString(), QStringLiteral("a1"));
}

void CheckableTreeProxyModelTest::resetAndNewSource()
{
    tick(QStringLiteral("tree/a/a1"), Qt::Checked);
    QSignalSpy changed(m_proxy, &QAbstractItemModel::dataChanged);
    QSignalSpy announced(m_proxy, &CheckableTreeProxyModel::someCheckedStateChenged);
    m_proxy->reset();
    QVERIFY(m_proxy->checkedList().isEmpty());
    QCOMPARE(changed.count(), 0);
    QCOMPARE(announced.count(), 0);
    QCOMPARE(state(QStringLiteral("tree/a")), 0);

    tick(QStringLiteral("tree/a/a1"), Qt::Checked);
    QCOMPARE(m_proxy->checkedList().size(), 1);
    m_proxy->setSourceModel(m_source);
    QVERIFY(m_proxy->checkedList().isEmpty());
}

void CheckableTreeProxyModelTest::refilterHidingTickedRowsUnticksTop()
{
    tick(QStringLiteral("tree/a/a1"), Qt::Checked);
    tick(QStringLiteral("tree/a/a2"), Qt::Checked);
    QCOMPARE(state(QStringLiteral("/")), 1);
    m_proxy->hiddenNames = QStringList {QStringLiteral("a1"), QStringLiteral("a2")};
    m_proxy->invalidateFilterAndData();
    QVERIFY(m_proxy->checkedList().isEmpty());
    QCOMPARE(state(QStringLiteral("/")), 0);
    // Marks left below the top are cleared as a view shows the levels from the top down.
    QCOMPARE(shownState(QString()), 0);
    QCOMPARE(shownState(QStringLiteral("tree/a")), 0);
}

void CheckableTreeProxyModelTest::refilterKeepsTopWhileSomethingTicked()
{
    tick(QStringLiteral("tree/a/a1"), Qt::Checked);
    tick(QStringLiteral("tree/c"), Qt::Checked);
    m_proxy->hiddenNames = QStringList {QStringLiteral("a1")};
    m_proxy->invalidateFilterAndData();
    QCOMPARE(checkedPaths(), QStringList {QStringLiteral("tree/c")});
    QCOMPARE(state(QStringLiteral("/")), 1);
}

QTEST_MAIN(CheckableTreeProxyModelTest)
#include "checkabletreeproxymodeltest.moc"

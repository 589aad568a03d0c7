#include "signfilemodel.h"
#include "bsign.h"
#include "faketools.h"
#include "fencedmodel.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QSet>
#include <QSignalSpy>
#include <QTest>

#include <cerrno>
#include <csignal>

extern quintptr Q_CORE_EXPORT qtHookData[];

namespace {
// Indexes of Qt's object hooks (see QHooks).
constexpr int AddQObjectHook = 3;
constexpr int RemoveQObjectHook = 4;

QSet<QObject *> &liveObjects()
{
    static QSet<QObject *> objects;
    return objects;
}

void objectAdded(QObject *object)
{
    liveObjects().insert(object);
}

void objectRemoved(QObject *object)
{
    liveObjects().remove(object);
}

int liveBsignCount()
{
    int count = 0;
    for (QObject *object : qAsConst(liveObjects())) {
        count += qobject_cast<Bsign *>(object) ? 1 : 0;
    }
    return count;
}

const QString PendingText = QStringLiteral("Signature information is missing or there are not enough permissions to view it");

QString iconName(const QVariant &value)
{
    return value.value<QIcon>().name();
}

// dataChanged of the two status cells only, not of the base model's own columns.
int statusChanges(const QSignalSpy &spy)
{
    int count = 0;
    for (const QList<QVariant> &arguments : spy) {
        count += arguments.at(0).toModelIndex().column() == 4 ? 1 : 0;
    }
    return count;
}

// The arguments of the n-th status dataChanged; a negative n counts from the end.
QList<QVariant> statusChangeAt(const QSignalSpy &spy, int n)
{
    QList<QList<QVariant>> changes;
    for (const QList<QVariant> &arguments : spy) {
        if (arguments.at(0).toModelIndex().column() == 4) {
            changes.append(arguments);
        }
    }
    return changes.value(n < 0 ? changes.size() + n : n);
}

bool isEmptyIcon(const QVariant &value)
{
    return value.userType() == QMetaType::QIcon && value.value<QIcon>().isNull();
}
}

class SignFileModelTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void columnsHeadersAndFilter();
    void alignmentIsVerticalCentreOnly_data();
    void alignmentIsVerticalCentreOnly();
    void sameRowIndexes();
    void firstQuestionQueuesExactlyOneCheck();
    void firstCheckRunsAloneThenSeveral();
    void crashDoesNotDisturbTheNextCheck();
    void programThatCannotStartMarksUnknown();
    void resultForVanishedRowIsDropped();
    void directoryIsNeverChecked();
    void removeFromQueueForgetsOneFile();
    void updateIndexesLevelForgetsLoadedSubtree();
    void signingFlagEmptiesTheCache();
    void nextProcessOnEmptyQueue();
    void destroyedWithChecksQueuedAndRunning();

private:
    QString createFile(const QString &relativePath, const QByteArray &report = QByteArray());
    void createModel();
    bool loadDirectory(const QString &path);
    QModelIndex fileIndex(const QString &relativePath) const;
    QModelIndex elfCell(const QString &relativePath) const;
    QModelIndex xattrCell(const QString &relativePath) const;
    QStringList startedPaths() const;

    QTemporaryDir m_icons;
    FakeTools *m_tools = nullptr;
    QTemporaryDir *m_dir = nullptr;
    SignFileModel *m_model = nullptr;
    QAbstractItemModelTester *m_tester = nullptr;
};

void SignFileModelTest::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    QVERIFY(m_icons.isValid());
    QVERIFY(installStatusIconTheme(m_icons.path()));
}

void SignFileModelTest::init()
{
    m_tools = new FakeTools;
    QVERIFY(m_tools->isValid());
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
}

void SignFileModelTest::cleanup()
{
    delete m_tester;
    m_tester = nullptr;
    delete m_model;
    m_model = nullptr;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    delete m_dir;
    m_dir = nullptr;
    delete m_tools;
    m_tools = nullptr;
}

QString SignFileModelTest::createFile(const QString &relativePath, const QByteArray &report)
{
    const QString path = m_dir->filePath(relativePath);
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write("content");
    if (!report.isNull()) {
        m_tools->setReport(QFileInfo(path).fileName(), report);
    }
    return path;
}

void SignFileModelTest::createModel()
{
    m_model = new Fenced<SignFileModel>(m_dir->path());
    m_tester = new QAbstractItemModelTester(m_model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    m_model->setRootPath(m_dir->path());
}

bool SignFileModelTest::loadDirectory(const QString &path)
{
    // The model sorts rows as they arrive, so indexes are looked up afresh each time.
    const int expected = QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size();
    if (m_model->canFetchMore(m_model->index(path))) {
        m_model->fetchMore(m_model->index(path));
    }
    return QTest::qWaitFor([&]() { return m_model->rowCount(m_model->index(path)) == expected; }, 10000);
}

QModelIndex SignFileModelTest::fileIndex(const QString &relativePath) const
{
    return m_model->index(m_dir->filePath(relativePath));
}

QModelIndex SignFileModelTest::elfCell(const QString &relativePath) const
{
    return m_model->elfIndex(fileIndex(relativePath));
}

QModelIndex SignFileModelTest::xattrCell(const QString &relativePath) const
{
    return m_model->xattrIndex(fileIndex(relativePath));
}

QStringList SignFileModelTest::startedPaths() const
{
    QStringList paths;
    for (const QString &line : m_tools->log()) {
        if (line.startsWith(QLatin1String("start "))) {
            paths.append(QFileInfo(line.mid(6)).fileName());
        }
    }
    return paths;
}

void SignFileModelTest::columnsHeadersAndFilter()
{
    createFile(QStringLiteral("file"));
    createModel();
    QVERIFY(loadDirectory(m_dir->path()));

    QCOMPARE(m_model->columnCount(m_model->index(m_dir->path())), 6);
    QCOMPARE(m_model->headerData(4, Qt::Horizontal).toString(), QStringLiteral("Signature"));
    QCOMPARE(m_model->headerData(5, Qt::Horizontal).toString(), QStringLiteral("Externed signature"));
    QCOMPARE(m_model->headerData(0, Qt::Horizontal).toString(), QFileSystemModel().headerData(0, Qt::Horizontal).toString());
    QVERIFY(!m_model->headerData(4, Qt::Horizontal, Qt::ToolTipRole).isValid());
    QCOMPARE(int(m_model->filter()), 0x650F);
}

void SignFileModelTest::alignmentIsVerticalCentreOnly_data()
{
    QTest::addColumn<int>("column");
    for (int column = 0; column < 6; ++column) {
        QTest::addRow("column %d", column) << column;
    }
}

void SignFileModelTest::alignmentIsVerticalCentreOnly()
{
    QFETCH(int, column);
    createFile(QStringLiteral("file"));
    createModel();
    QVERIFY(loadDirectory(m_dir->path()));

    const QModelIndex cell = fileIndex(QStringLiteral("file")).siblingAtColumn(column);
    QCOMPARE(m_model->data(cell, Qt::TextAlignmentRole).toInt(), 0x80);
    QCOMPARE(m_tools->startCount(), 0);
}

void SignFileModelTest::sameRowIndexes()
{
    createFile(QStringLiteral("file"));
    createModel();
    QVERIFY(loadDirectory(m_dir->path()));

    const QModelIndex typeCell = fileIndex(QStringLiteral("file")).siblingAtColumn(2);
    QCOMPARE(m_model->commonIndex(typeCell), fileIndex(QStringLiteral("file")));
    QCOMPARE(m_model->elfIndex(typeCell).column(), 4);
    QCOMPARE(m_model->xattrIndex(typeCell).column(), 5);
    QCOMPARE(m_model->xattrIndex(typeCell).row(), typeCell.row());
    QCOMPARE(m_model->xattrIndex(typeCell).parent(), typeCell.parent());
    QVERIFY(!m_model->commonIndex(QModelIndex()).isValid());
}

void SignFileModelTest::firstQuestionQueuesExactlyOneCheck()
{
    const QByteArray report = sampleReport("Result: good ELF signature\n");
    createFile(QStringLiteral("program"), report);
    createModel();
    QVERIFY(loadDirectory(m_dir->path()));
    QSignalSpy changed(m_model, &QAbstractItemModel::dataChanged);

    QVERIFY(isEmptyIcon(m_model->data(elfCell(QStringLiteral("program")), Qt::DecorationRole)));
    QCOMPARE(iconName(m_model->data(elfCell(QStringLiteral("program")), Qt::DecorationRole)), QStringLiteral("task-ongoing"));
    QCOMPARE(iconName(m_model->data(xattrCell(QStringLiteral("program")), Qt::DecorationRole)), QStringLiteral("task-ongoing"));
    QCOMPARE(m_model->data(xattrCell(QStringLiteral("program")), Qt::ToolTipRole).toString(), PendingText);
    QVERIFY(!m_model->data(elfCell(QStringLiteral("program")), Qt::DisplayRole).isValid());

    QTRY_COMPARE(statusChanges(changed), 1);
    const QList<QVariant> arguments = statusChangeAt(changed, 0);
    QCOMPARE(arguments.at(0).toModelIndex(), elfCell(QStringLiteral("program")));
    QCOMPARE(arguments.at(1).toModelIndex(), xattrCell(QStringLiteral("program")));
    QCOMPARE(arguments.at(2).value<QVector<int>>(), QVector<int> {Qt::DisplayRole});
    QCOMPARE(m_tools->startCount(), 1);

    Bsign parser;
    QCOMPARE(iconName(m_model->data(elfCell(QStringLiteral("program")), Qt::DecorationRole)), QStringLiteral("task-complete"));
    QCOMPARE(m_model->data(elfCell(QStringLiteral("program")), Qt::ToolTipRole).toString(), parser.signingInfo(QString::fromLatin1(report)));
    QCOMPARE(iconName(m_model->data(xattrCell(QStringLiteral("program")), Qt::DecorationRole)), QStringLiteral("task-reject"));
    QCOMPARE(m_model->data(xattrCell(QStringLiteral("program")), Qt::ToolTipRole).toString(), QStringLiteral("No signature"));
    QVERIFY(!m_model->data(xattrCell(QStringLiteral("program")), Qt::DisplayRole).isValid());
    QTest::qWait(50);
    QCOMPARE(m_tools->startCount(), 1);
}

void SignFileModelTest::firstCheckRunsAloneThenSeveral()
{
    createFile(QStringLiteral("a-held"), sampleReport("Result: good ELF signature\n"));
    createFile(QStringLiteral("b"), sampleReport("Result: good xattr signature\n"));
    createModel();
    QVERIFY(loadDirectory(m_dir->path()));
    QSignalSpy changed(m_model, &QAbstractItemModel::dataChanged);

    m_model->data(elfCell(QStringLiteral("a-held")), Qt::DecorationRole);
    m_model->data(xattrCell(QStringLiteral("b")), Qt::DecorationRole);
    QTRY_COMPARE(m_tools->startCount(), 1);
    QTest::qWait(200);
    QCOMPARE(startedPaths(), QStringList {QStringLiteral("a-held")});

    // Checks that pass pkexec run several at once from then on.
    createFile(QStringLiteral("c-held"));
    createFile(QStringLiteral("d-held"));
    QTRY_VERIFY(fileIndex(QStringLiteral("d-held")).isValid());
    m_model->data(elfCell(QStringLiteral("c-held")), Qt::DecorationRole);
    m_model->data(elfCell(QStringLiteral("d-held")), Qt::DecorationRole);
    m_tools->release(QStringLiteral("a-held"));
    QTRY_COMPARE(m_tools->startCount(), 4);
    QTRY_COMPARE(statusChanges(changed), 2);
    // The three after the first start together, in no fixed order.
    QCOMPARE(startedPaths().first(), QStringLiteral("a-held"));
    QVERIFY(startedPaths().contains(QStringLiteral("b")));
    const QStringList log = m_tools->log();
    QVERIFY(log.at(1).startsWith(QLatin1String("end ")));
    m_tools->release(QStringLiteral("c-held"));
    m_tools->release(QStringLiteral("d-held"));
    QTRY_COMPARE(statusChanges(changed), 4);
    QCOMPARE(iconName(m_model->data(elfCell(QStringLiteral("a-held")), Qt::DecorationRole)), QStringLiteral("task-complete"));
    QCOMPARE(iconName(m_model->data(xattrCell(QStringLiteral("b")), Qt::DecorationRole)), QStringLiteral("task-complete"));
    QCOMPARE(iconName(m_model->data(elfCell(QStringLiteral("b")), Qt::DecorationRole)), QStringLiteral("task-reject"));
}

void SignFileModelTest::crashDoesNotDisturbTheNextCheck()
{
    createFile(QStringLiteral("x-crash"), sampleReport("Result: good ELF signature\n"));
    createFile(QStringLiteral("y"), sampleReport("Result: good ELF signature\n"));
    createModel();
    QVERIFY(loadDirectory(m_dir->path()));
    QSignalSpy changed(m_model, &QAbstractItemModel::dataChanged);

    m_model->data(elfCell(QStringLiteral("x-crash")), Qt::DecorationRole);
    m_model->data(elfCell(QStringLiteral("y")), Qt::DecorationRole);
    QTRY_COMPARE(statusChanges(changed), 2);
    QTest::qWait(50);
    QCOMPARE(statusChanges(changed), 2);

    QCOMPARE(iconName(m_model->data(elfCell(QStringLiteral("y")), Qt::DecorationRole)), QStringLiteral("task-complete"));
    // Unknown, and asked again only once forgotten: a repaint must not start pkexec anew.
    QVERIFY(isEmptyIcon(m_model->data(elfCell(QStringLiteral("x-crash")), Qt::DecorationRole)));
    QCOMPARE(m_model->data(elfCell(QStringLiteral("x-crash")), Qt::ToolTipRole).toString(),
        QStringLiteral("Signature information is missing or there are not enough permissions to view it"));
    QTest::qWait(100);
    QCOMPARE(m_tools->startCount(), 2);
    m_model->removeFromQueue(elfCell(QStringLiteral("x-crash")));
    m_model->data(elfCell(QStringLiteral("x-crash")), Qt::DecorationRole);
    QTRY_COMPARE(m_tools->startCount(), 3);
}

void SignFileModelTest::programThatCannotStartMarksUnknown()
{
    createFile(QStringLiteral("p"), sampleReport("Result: good ELF signature\n"));
    createFile(QStringLiteral("q"), sampleReport("Result: good ELF signature\n"));
    createModel();
    QVERIFY(loadDirectory(m_dir->path()));
    QSignalSpy changed(m_model, &QAbstractItemModel::dataChanged);

    // Only the test directory on PATH, so that no other pkexec can be found.
    m_tools->removePkexec();
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(m_tools->path()));
    m_model->data(elfCell(QStringLiteral("p")), Qt::DecorationRole);
    m_model->data(elfCell(QStringLiteral("q")), Qt::DecorationRole);
    QTRY_COMPARE(statusChanges(changed), 2);
    qputenv("PATH", oldPath);

    QCOMPARE(m_tools->startCount(), 0);
    QVERIFY(isEmptyIcon(m_model->data(xattrCell(QStringLiteral("q")), Qt::DecorationRole)));
}

void SignFileModelTest::resultForVanishedRowIsDropped()
{
    const QString gone = createFile(QStringLiteral("gone-held"), sampleReport("Result: good ELF signature\n"));
    createFile(QStringLiteral("next"), sampleReport("Result: good ELF signature\n"));
    createModel();
    QVERIFY(loadDirectory(m_dir->path()));
    QSignalSpy changed(m_model, &QAbstractItemModel::dataChanged);

    const QPersistentModelIndex goneRow(fileIndex(QStringLiteral("gone-held")));
    m_model->data(elfCell(QStringLiteral("gone-held")), Qt::DecorationRole);
    m_model->data(elfCell(QStringLiteral("next")), Qt::DecorationRole);
    QTRY_COMPARE(m_tools->startCount(), 1);
    QFile::remove(gone);
    QTRY_VERIFY_WITH_TIMEOUT(!goneRow.isValid(), 10000);

    m_tools->release(QStringLiteral("gone-held"));
    QTRY_COMPARE(m_tools->startCount(), 2);
    QTRY_COMPARE(statusChanges(changed), 1);
    QCOMPARE(statusChangeAt(changed, 0).at(0).toModelIndex(), elfCell(QStringLiteral("next")));
    QCOMPARE(iconName(m_model->data(elfCell(QStringLiteral("next")), Qt::DecorationRole)), QStringLiteral("task-complete"));
}

void SignFileModelTest::directoryIsNeverChecked()
{
    QDir(m_dir->path()).mkdir(QStringLiteral("folder"));
    createModel();
    QVERIFY(loadDirectory(m_dir->path()));

    QVERIFY(isEmptyIcon(m_model->data(elfCell(QStringLiteral("folder")), Qt::DecorationRole)));
    QCOMPARE(m_model->data(elfCell(QStringLiteral("folder")), Qt::ToolTipRole).toString(), PendingText);
    QVERIFY(isEmptyIcon(m_model->data(xattrCell(QStringLiteral("folder")), Qt::DecorationRole)));
    QCOMPARE(m_model->data(xattrCell(QStringLiteral("folder")), Qt::ToolTipRole).toString(), PendingText);
    QTest::qWait(100);
    QCOMPARE(m_tools->startCount(), 0);
}

void SignFileModelTest::removeFromQueueForgetsOneFile()
{
    createFile(QStringLiteral("f"), sampleReport("Result: good ELF signature\n"));
    createModel();
    QVERIFY(loadDirectory(m_dir->path()));
    QSignalSpy changed(m_model, &QAbstractItemModel::dataChanged);
    m_model->data(elfCell(QStringLiteral("f")), Qt::DecorationRole);
    QTRY_COMPARE(statusChanges(changed), 1);

    m_model->removeFromQueue(fileIndex(QStringLiteral("f")).siblingAtColumn(3));
    QCOMPARE(statusChanges(changed), 2);
    QCOMPARE(statusChangeAt(changed, -1).at(0).toModelIndex(), elfCell(QStringLiteral("f")));
    QCOMPARE(statusChangeAt(changed, -1).at(1).toModelIndex(), xattrCell(QStringLiteral("f")));
    QVERIFY(isEmptyIcon(m_model->data(xattrCell(QStringLiteral("f")), Qt::DecorationRole)));
    QTRY_COMPARE(statusChanges(changed), 3);
    QCOMPARE(m_tools->startCount(), 2);

    m_model->removeFromQueue(QModelIndex());
    QCOMPARE(statusChanges(changed), 3);
}

void SignFileModelTest::updateIndexesLevelForgetsLoadedSubtree()
{
    const QByteArray good = sampleReport("Result: good ELF signature\n");
    createFile(QStringLiteral("sub/s1"), good);
    createFile(QStringLiteral("sub/s2"), good);
    createFile(QStringLiteral("sub/deep/d1"), good);
    createFile(QStringLiteral("outside"), good);
    createModel();
    QVERIFY(loadDirectory(m_dir->path()));
    QVERIFY(loadDirectory(m_dir->filePath(QStringLiteral("sub"))));
    QVERIFY(loadDirectory(m_dir->filePath(QStringLiteral("sub/deep"))));
    QSignalSpy changed(m_model, &QAbstractItemModel::dataChanged);

    const QStringList files {QStringLiteral("sub/s1"), QStringLiteral("sub/s2"), QStringLiteral("sub/deep/d1"), QStringLiteral("outside")};
    for (const QString &file : files) {
        m_model->data(elfCell(file), Qt::DecorationRole);
    }
    QTRY_COMPARE(statusChanges(changed), 4);
    for (const QString &file : files) {
        QCOMPARE(iconName(m_model->data(elfCell(file), Qt::DecorationRole)), QStringLiteral("task-complete"));
    }

    m_model->updateIndexesLevel({fileIndex(QStringLiteral("sub")), QModelIndex()});
    for (const QString &file : files.mid(0, 3)) {
        QVERIFY2(isEmptyIcon(m_model->data(elfCell(file), Qt::DecorationRole)), qPrintable(file));
    }
    QCOMPARE(iconName(m_model->data(elfCell(QStringLiteral("outside")), Qt::DecorationRole)), QStringLiteral("task-complete"));
    QTRY_COMPARE(m_tools->startCount(), 7);
}

void SignFileModelTest::signingFlagEmptiesTheCache()
{
    createFile(QStringLiteral("f"), sampleReport("Result: good ELF signature\n"));
    createModel();
    QVERIFY(loadDirectory(m_dir->path()));
    QSignalSpy changed(m_model, &QAbstractItemModel::dataChanged);
    m_model->data(elfCell(QStringLiteral("f")), Qt::DecorationRole);
    QTRY_COMPARE(statusChanges(changed), 1);

    m_model->setIsSigningRunning(true);
    QVERIFY(!m_model->data(elfCell(QStringLiteral("f")), Qt::DecorationRole).isValid());
    QVERIFY(!m_model->data(xattrCell(QStringLiteral("f")), Qt::ToolTipRole).isValid());
    QVERIFY(m_model->data(fileIndex(QStringLiteral("f")), Qt::DisplayRole).isValid());

    m_model->setIsSigningRunning(false);
    QVERIFY(isEmptyIcon(m_model->data(elfCell(QStringLiteral("f")), Qt::DecorationRole)));
    QTRY_COMPARE(m_tools->startCount(), 2);
}

void SignFileModelTest::nextProcessOnEmptyQueue()
{
    createModel();
    QVERIFY(!m_model->nextProcess());
    QCoreApplication::processEvents();
}

void SignFileModelTest::destroyedWithChecksQueuedAndRunning()
{
    createFile(QStringLiteral("r-held"));
    createFile(QStringLiteral("q1"));
    createFile(QStringLiteral("q2"));
    createModel();
    QVERIFY(loadDirectory(m_dir->path()));

    liveObjects().clear();
    qtHookData[AddQObjectHook] = reinterpret_cast<quintptr>(&objectAdded);
    qtHookData[RemoveQObjectHook] = reinterpret_cast<quintptr>(&objectRemoved);

    m_model->data(elfCell(QStringLiteral("r-held")), Qt::DecorationRole);
    m_model->data(elfCell(QStringLiteral("q1")), Qt::DecorationRole);
    m_model->data(elfCell(QStringLiteral("q2")), Qt::DecorationRole);
    QCOMPARE(liveBsignCount(), 3);
    QTRY_VERIFY(m_tools->heldPid() > 0);
    const pid_t heldPid = pid_t(m_tools->heldPid());
    QCOMPARE(::kill(heldPid, 0), 0);

    delete m_tester;
    m_tester = nullptr;
    // The running check is a root child under the real pkexec: the model neither signals nor
    // waits for it. It is left to finish and reaped then.
    delete m_model;
    m_model = nullptr;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    QCOMPARE(liveBsignCount(), 1);
    QCOMPARE(::kill(heldPid, 0), 0);

    m_tools->release(QStringLiteral("r-held"));
    QTRY_COMPARE(liveBsignCount(), 0);
    qtHookData[AddQObjectHook] = 0;
    qtHookData[RemoveQObjectHook] = 0;
    QCOMPARE(::kill(heldPid, 0), -1);
    QCOMPARE(errno, ESRCH);
    QCOMPARE(m_tools->startCount(), 1);
}

QTEST_MAIN(SignFileModelTest)
#include "signfilemodeltest.moc"

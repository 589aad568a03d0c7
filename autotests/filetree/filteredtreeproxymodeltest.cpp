#include "filteredtreeproxymodel.h"
#include "fakehelperbackend.h"
#include "faketools.h"
#include "fencedmodel.h"
#include "helpercall.h"
#include "helperjob.h"
#include "signfilemodel.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <pwd.h>
#include <unistd.h>

namespace {
const QString CheckAction = QStringLiteral("ru.orlis.kcm.digsig.setupsigning");
const QByteArray ElfBytes("\x7f"
                          "ELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00",
    16);

// The tests run as root, who may read everything. While this lives, the process's real
// user is "nobody", so that access() (and QFileInfo::isReadable) answer as for a user;
// the effective user stays root, so the process can switch back.
class RealUserScope
{
public:
    RealUserScope()
    {
        const passwd *nobody = getpwnam("nobody");
        m_active = nobody && setresuid(nobody->pw_uid, uid_t(-1), uid_t(-1)) == 0;
    }
    ~RealUserScope()
    {
        if (m_active) {
            setresuid(0, uid_t(-1), uid_t(-1));
        }
    }
    bool isActive() const { return m_active; }

private:
    bool m_active = false;
};
}

// Waits until at least the given number of helper calls have run to their end.
bool waitForHelperAnswers(const FakeHelperBackend &backend, int count)
{
    const bool answered = QTest::qWaitFor(
        [&]() {
            const QList<QPointer<FakeHelperJob>> jobs = backend.jobs();
            return jobs.size() >= count && std::all_of(jobs.cbegin(), jobs.cend(), [](const QPointer<FakeHelperJob> &job) { return job.isNull(); });
        },
        10000);
    QCoreApplication::processEvents();
    return answered;
}

class FilteredTreeProxyModelTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void isElfReadsTheContent_data();
    void isElfReadsTheContent();
    void everythingShownWithFlagOff();
    void onlyElfFilesAndDirectoriesShown();
    void signingRunShowsEverything();
    void topRowAlwaysShown();
    void unreadableFileAskedThroughHelper_data();
    void unreadableFileAskedThroughHelper();
    void helperCallIsTheCheckElfAction();
    void sourceChangesDuringHelperCall_data();
    void sourceChangesDuringHelperCall();
    void refilterUnticksTopWhenTickedRowsHide();

private:
    void writeFile(const QString &name, const QByteArray &content, QFileDevice::Permissions permissions);
    bool load();
    QStringList shownNames() const;
    QModelIndex proxyRow(const QString &name) const;

    QTemporaryDir *m_dir = nullptr;
    FakeTools *m_tools = nullptr;
    SignFileModel *m_source = nullptr;
    FilteredTreeProxyModel *m_proxy = nullptr;
    QAbstractItemModelTester *m_tester = nullptr;
};

void FilteredTreeProxyModelTest::initTestCase()
{
    if (geteuid() != 0) {
        QSKIP("the unreadable-file cases need to run as root");
    }
}

void FilteredTreeProxyModelTest::init()
{
    m_tools = new FakeTools;
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    const QFileDevice::Permissions everyoneReads = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    const QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    QFile::setPermissions(m_dir->path(), everyoneReads | QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther);
    writeFile(QStringLiteral("prog"), ElfBytes, everyoneReads);
    writeFile(QStringLiteral("lib.so"), ElfBytes, everyoneReads);
    writeFile(QStringLiteral("obj.o"), ElfBytes, everyoneReads);
    writeFile(QStringLiteral("OBJ.O"), ElfBytes, everyoneReads);
    writeFile(QStringLiteral("empty"), QByteArray(), everyoneReads);
    writeFile(QStringLiteral("short"), ElfBytes.left(3), everyoneReads);
    writeFile(QStringLiteral("text.txt"), "#!/bin/sh\necho hello\n", everyoneReads);
    writeFile(QStringLiteral("secret"), ElfBytes, ownerOnly);
    QDir(m_dir->path()).mkdir(QStringLiteral("fake.so"));
    QDir(m_dir->path()).mkdir(QStringLiteral("secretdir"));
    QFile::setPermissions(m_dir->filePath(QStringLiteral("secretdir")), ownerOnly | QFileDevice::ExeOwner);

    m_source = new Fenced<SignFileModel>(m_dir->path());
    m_proxy = new FilteredTreeProxyModel;
    m_proxy->setSourceModel(m_source);
    m_tester = new QAbstractItemModelTester(m_proxy, QAbstractItemModelTester::FailureReportingMode::QtTest);
    m_source->setRootPath(m_dir->path());
    QVERIFY(load());
}

void FilteredTreeProxyModelTest::cleanup()
{
    delete m_tester;
    delete m_proxy;
    delete m_source;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    delete m_dir;
    delete m_tools;
}

void FilteredTreeProxyModelTest::writeFile(const QString &name, const QByteArray &content, QFileDevice::Permissions permissions)
{
    QFile file(m_dir->filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    QVERIFY(file.setPermissions(permissions));
}

bool FilteredTreeProxyModelTest::load()
{
    const QString path = m_dir->path();
    const int expected = QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size();
    if (m_source->canFetchMore(m_source->index(path))) {
        m_source->fetchMore(m_source->index(path));
    }
    return QTest::qWaitFor(
        [&]() { return m_source->rowCount(m_source->index(path)) == expected && m_proxy->rowCount(m_proxy->mapFromSource(m_source->index(path))) == expected; },
        10000);
}

QStringList FilteredTreeProxyModelTest::shownNames() const
{
    const QModelIndex directory = m_proxy->mapFromSource(m_source->index(m_dir->path()));
    QStringList names;
    for (int row = 0; row < m_proxy->rowCount(directory); ++row) {
        names.append(m_proxy->index(row, 0, directory).data().toString());
    }
    names.sort();
    return names;
}

QModelIndex FilteredTreeProxyModelTest::proxyRow(const QString &name) const
{
    return m_proxy->mapFromSource(m_source->index(m_dir->filePath(name)));
}

void FilteredTreeProxyModelTest::isElfReadsTheContent_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("elf");

    QTest::newRow("program") << "prog" << true;
    QTest::newRow("shared object") << "lib.so" << true;
    QTest::newRow("object file") << "obj.o" << false;
    QTest::newRow("upper-case O") << "OBJ.O" << true;
    QTest::newRow("empty") << "empty" << false;
    QTest::newRow("3 bytes") << "short" << false;
    QTest::newRow("script") << "text.txt" << false;
    QTest::newRow("directory named like a library") << "fake.so" << false;
    QTest::newRow("missing") << "nothing-here" << false;
}

void FilteredTreeProxyModelTest::isElfReadsTheContent()
{
    QFETCH(QString, name);
    QFETCH(bool, elf);
    QCOMPARE(FilteredTreeProxyModel::isElf(QFileInfo(m_dir->filePath(name))), elf);
}

void FilteredTreeProxyModelTest::everythingShownWithFlagOff()
{
    FakeHelperBackend backend;
    QCOMPARE(shownNames().size(), 10);
    m_proxy->showOnlyElf(true);
    m_proxy->showOnlyElf(false);
    QCOMPARE(shownNames().size(), 10);
}

void FilteredTreeProxyModelTest::onlyElfFilesAndDirectoriesShown()
{
    FakeHelperBackend backend;
    m_proxy->showOnlyElf(true);
    QCOMPARE(shownNames(),
        (QStringList {QStringLiteral("OBJ.O"), QStringLiteral("fake.so"), QStringLiteral("lib.so"), QStringLiteral("prog"), QStringLiteral("secret"),
            QStringLiteral("secretdir")}));
    // Root reads everything, so no helper round trip was needed.
    QVERIFY(backend.calls().isEmpty());
}

void FilteredTreeProxyModelTest::signingRunShowsEverything()
{
    FakeHelperBackend backend;
    m_proxy->setIsSigningRunning(true);
    QCOMPARE(shownNames().size(), 10);
    m_proxy->showOnlyElf(true);
    QCOMPARE(shownNames().size(), 10);
    // Clearing the flag does not re-filter by itself.
    m_proxy->setIsSigningRunning(false);
    QCOMPARE(shownNames().size(), 10);
    m_proxy->showOnlyElf(true);
    QCOMPARE(shownNames().size(), 6);
}

void FilteredTreeProxyModelTest::topRowAlwaysShown()
{
    FakeHelperBackend backend;
    m_proxy->showOnlyElf(true);
    QCOMPARE(m_proxy->rowCount(), 1);
    QCOMPARE(m_source->filePath(m_proxy->mapToSource(m_proxy->index(0, 0))), QStringLiteral("/"));
}

void FilteredTreeProxyModelTest::unreadableFileAskedThroughHelper_data()
{
    QTest::addColumn<int>("helperError");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<bool>("heldByLongAction");

    QTest::newRow("helper says ELF") << 0 << true << false;
    QTest::newRow("helper says not ELF") << 1 << false << false;
    QTest::newRow("authorisation refused") << 4 << false << false;
    QTest::newRow("helper missing") << 8 << false << false;
    QTest::newRow("asked once a long action has ended") << 1 << false << true;
}

void FilteredTreeProxyModelTest::unreadableFileAskedThroughHelper()
{
    QFETCH(int, helperError);
    QFETCH(bool, shown);
    QFETCH(bool, heldByLongAction);

    FakeHelperBackend backend;
    HelperScript answer;
    answer.error = helperError;
    backend.script(CheckAction, answer);
    HelperJob *longAction = heldByLongAction
        ? HelperCall::executeLong(HelperCall::action(QStringLiteral("%1.change"), HelperCall::DigsigNamespace), QStringLiteral("Updating"))
        : nullptr;
    backend.clearCalls();
    {
        RealUserScope asUser;
        QVERIFY(asUser.isActive());
        QVERIFY(!QFileInfo(m_dir->filePath(QStringLiteral("secret"))).isReadable());
        m_proxy->showOnlyElf(true);
        // Shown until the helper, asked from the event loop, has answered.
        QVERIFY(shownNames().contains(QStringLiteral("secret")));
        QVERIFY(backend.calls().isEmpty());
        if (longAction) {
            QCoreApplication::processEvents();
            QCoreApplication::processEvents();
            QVERIFY(backend.calls().isEmpty());
            delete longAction;
        }
        QVERIFY(waitForHelperAnswers(backend, 1));
        // A tick sets the switch again: the answer is kept, the helper not asked again.
        m_proxy->showOnlyElf(true);
        QCoreApplication::processEvents();
    }
    QCOMPARE(shownNames().contains(QStringLiteral("secret")), shown);
    QVERIFY(shownNames().contains(QStringLiteral("secretdir")));
    QVERIFY(shownNames().contains(QStringLiteral("prog")));
    QVERIFY(!shownNames().contains(QStringLiteral("obj.o")));
    QCOMPARE(backend.calls().size(), 1);
    QCOMPARE(backend.calls().first().arguments.value(QStringLiteral("check_elf")).toString(), m_dir->filePath(QStringLiteral("secret")));
}

void FilteredTreeProxyModelTest::helperCallIsTheCheckElfAction()
{
    FakeHelperBackend backend;
    QVERIFY(FilteredTreeProxyModel::isElf(QStringLiteral("/some/file")));
    HelperScript refused;
    refused.error = 4;
    backend.script(CheckAction, refused);
    QVERIFY(!FilteredTreeProxyModel::isElf(QStringLiteral("/some/file")));

    QCOMPARE(backend.calls().size(), 2);
    const FakeHelperBackend::Call call = backend.calls().first();
    QCOMPARE(call.name, CheckAction);
    QCOMPARE(call.helperId, QStringLiteral("ru.orlis.kcm.digsig"));
    QCOMPARE(call.arguments, (QVariantMap {{QStringLiteral("check_elf"), QStringLiteral("/some/file")}}));
}

void FilteredTreeProxyModelTest::sourceChangesDuringHelperCall_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("rows reordered") << "sort";
    QTest::newRow("file removed") << "remove";
    QTest::newRow("proxy detached from its source") << "detach";
}

void FilteredTreeProxyModelTest::sourceChangesDuringHelperCall()
{
    QFETCH(QString, change);

    FakeHelperBackend backend;
    writeFile(QStringLiteral("another-secret"), ElfBytes, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QVERIFY(load());
    bool changed = false;
    const QString removed = m_dir->filePath(QStringLiteral("prog"));
    // The change happens from inside the nested event loop of the first helper call.
    backend.script(CheckAction, [&](const QVariantMap &) {
        if (!changed) {
            changed = true;
            QTimer::singleShot(0, m_source, [&]() {
                if (change == QLatin1String("sort")) {
                    m_source->sort(0, Qt::DescendingOrder);
                } else if (change == QLatin1String("remove")) {
                    QFile::remove(removed);
                    const bool gone = QTest::qWaitFor([&]() { return !m_source->index(removed).isValid(); }, 5000);
                    QVERIFY(gone);
                } else {
                    m_proxy->setSourceModel(nullptr);
                }
            });
        }
        return HelperScript();
    });
    {
        RealUserScope asUser;
        QVERIFY(asUser.isActive());
        m_proxy->showOnlyElf(true);
        QVERIFY(waitForHelperAnswers(backend, change == QLatin1String("detach") ? 1 : 2));
    }
    QVERIFY(changed);
    // One question per file and run, even when rows come and go meanwhile.
    QStringList asked;
    for (const FakeHelperBackend::Call &call : backend.calls()) {
        asked.append(call.arguments.value(QStringLiteral("check_elf")).toString());
    }
    QCOMPARE(asked.removeDuplicates(), 0);
    if (change == QLatin1String("detach")) {
        QCOMPARE(m_proxy->rowCount(), 0);
        return;
    }
    QVERIFY(shownNames().contains(QStringLiteral("secret")));
    QVERIFY(shownNames().contains(QStringLiteral("another-secret")));
    QVERIFY(!shownNames().contains(QStringLiteral("text.txt")));
}

void FilteredTreeProxyModelTest::refilterUnticksTopWhenTickedRowsHide()
{
    FakeHelperBackend backend;
    m_proxy->setData(proxyRow(QStringLiteral("text.txt")), Qt::Checked, Qt::CheckStateRole);
    QCOMPARE(m_proxy->data(m_proxy->index(0, 0), Qt::CheckStateRole).toInt(), 1);
    QSignalSpy announced(m_proxy, &CheckableTreeProxyModel::someCheckedStateChenged);
    m_proxy->showOnlyElf(true);
    QVERIFY(m_proxy->checkedList().isEmpty());
    QCOMPARE(m_proxy->data(m_proxy->index(0, 0), Qt::CheckStateRole).toInt(), 0);
    QCOMPARE(announced.count(), 1);
}

QTEST_MAIN(FilteredTreeProxyModelTest)
#include "filteredtreeproxymodeltest.moc"

// The file tree: bsign's report reading, the status columns with their pool of checks, and
// the tick and ELF-filter proxies.

#include "bsign.h"
#include "fakehelperbackend.h"
#include "faketools.h"
#include "filteredtreeproxymodel.h"
#include "helpercall.h"
#include "signfilemodel.h"

#include <QAbstractItemModelTester>
#include <QDateTime>
#include <QDir>
#include <QIcon>
#include <QLocale>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <climits>
#include <csignal>
#include <ctime>
#include <functional>
#include <memory>

namespace {
const QByteArray Signed
    = "signer: 1A2b3C4d5E6f7788\ntimestamp: Mon Jan  1 00:00:00 2024 (1704067200)\nhash: {GOST R 34.11-2012} 00112233445566778899aabbccddeeff\n"
      "signature:\n  0a 1b 2c 3d 4e 5f 60 71 82 93 a4 b5 c6 d7 e8 f9\n  10 11 12 13\n";
const QByteArray GoodElf = Signed + "Result: good ELF signature\n";
const QString MissingText = "Signature information is missing or there are not enough permissions to view it"_s;

// Keeps a file-system model from loading what lies outside the test's directory: the model
// tester fetches every level it reaches, and the models' top row is "/".
template<typename Model>
class Fenced : public Model
{
public:
    explicit Fenced(const QString &fence)
        : m_fence(fence)
    {
    }
    bool canFetchMore(const QModelIndex &parent) const override { return isInside(parent) && Model::canFetchMore(parent); }
    void fetchMore(const QModelIndex &parent) override { isInside(parent) ? Model::fetchMore(parent) : void(); }

private:
    bool isInside(const QModelIndex &parent) const { return QString(this->filePath(parent) + QLatin1Char('/')).startsWith(m_fence + QLatin1Char('/')); }
    QString m_fence;
};
}

class FileTreeTest : public QObject
{
    Q_OBJECT
    std::unique_ptr<FakeTools> m_tools;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SignFileModel> m_model;
    std::unique_ptr<QAbstractItemModelTester> m_tester;
    // dataChanged of the status cells, not of the base model's own columns.
    QList<QList<QVariant>> m_changes;
    // fileChecked as "name verdict elfGood key".
    QStringList m_fileChecks;

    void start(const QStringList &files, const QStringList &directories = {})
    {
        m_tools = std::make_unique<FakeTools>();
        m_dir = std::make_unique<QTemporaryDir>();
        for (const QString &file : files) {
            QVERIFY(Scratch::write(m_dir->filePath(file), "content"));
            m_tools->setReport(QFileInfo(file).fileName(), GoodElf);
        }
        m_model = std::make_unique<Fenced<SignFileModel>>(m_dir->path());
        m_tester = std::make_unique<QAbstractItemModelTester>(m_model.get(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        m_model->setRootPath(m_dir->path());
        for (const QString &directory : QStringList {QString()} + directories) {
            QVERIFY(QDir(m_dir->path()).mkpath(directory + "/."_s));
            QVERIFY(Scratch::loadDirectory(m_model.get(), QDir::cleanPath(m_dir->filePath(directory))));
        }
        m_changes.clear();
        m_fileChecks.clear();
        connect(m_model.get(), &SignFileModel::fileChecked, this, [this](const QString &path, bool hasVerdict, const Bsign::VerificationResult &result) {
            m_fileChecks.append(
                QStringList {QFileInfo(path).fileName(), QString::number(hasVerdict), QString::number(result.elfGood), result.keyId}.join(QLatin1Char(' ')));
        });
        connect(m_model.get(), &QAbstractItemModel::dataChanged, this, [this](const QModelIndex &from, const QModelIndex &to, const QVector<int> &roles) {
            if (from.column() == SignFileModel::ElfColumn) {
                m_changes.append({from, to, QVariant::fromValue(roles)});
            }
        });
    }
    QModelIndex cell(const QString &name, int column = SignFileModel::ElfColumn) const { return m_model->index(m_dir->filePath(name)).siblingAtColumn(column); }
    // The icons of both status cells by name, "" for none; a view asks for both at once.
    QString icons(const QString &name) const
    {
        QStringList icons;
        for (const int column : {SignFileModel::ElfColumn, SignFileModel::XattrColumn}) {
            const QVariant value = m_model->data(cell(name, column), Qt::DecorationRole);
            icons.append(value.isValid() ? QString() : "(none)"_s);
            for (const QString &theme : {"task-complete"_s, "task-reject"_s, "task-ongoing"_s}) {
                icons.last() = value.value<QIcon>().cacheKey() == QIcon::fromTheme(theme).cacheKey() ? theme : icons.last();
            }
        }
        return icons.join(QLatin1Char(' '));
    }
    std::unique_ptr<KCMOS::RootFileSystemModel> m_source;
    std::unique_ptr<FilteredTreeProxyModel> m_proxy;

    QModelIndex row(const QString &path) const
    {
        return path == QLatin1String("/") ? m_proxy->index(0, 0) : m_proxy->mapFromSource(m_source->index(QDir::cleanPath(m_dir->filePath(path))));
    }
    int state(const QString &path) const { return m_proxy->data(row(path), Qt::CheckStateRole).toInt(); }
    bool tick(const QString &path, Qt::CheckState state) { return m_proxy->setData(row(path), state, Qt::CheckStateRole); }
    QString checkedPaths() const
    {
        QStringList paths;
        for (const QModelIndex &index : m_proxy->checkedList()) {
            paths.append(QDir(m_dir->path()).relativeFilePath(m_source->filePath(m_proxy->mapToSource(index))));
        }
        paths.sort();
        return paths.join(QLatin1Char(' '));
    }
    QString shownElfFiles() const
    {
        QStringList names;
        for (int i = 0; i < m_proxy->rowCount(row("elf"_s)); ++i) {
            names.append(m_proxy->index(i, 0, row("elf"_s)).data().toString());
        }
        names.sort();
        return names.join(QLatin1Char(' '));
    }
    // The tree of the proxy tests.
    void buildTree()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        // The real group stays root's while the real user is nobody: the tree is 0755.
        QFile::setPermissions(m_dir->path(), QFileDevice::Permissions(0x7755));
        // The files the ELF filter tells apart are under elf/, two of them unreadable to a user.
        for (const QString &file : {"tree/a/a1"_s, "tree/a/a2"_s, "tree/a/a3"_s, "tree/a/sub/s1"_s, "tree/a/sub/s2"_s, "tree/b/b1"_s, "tree/c"_s, "other/o"_s,
                 "elf/fake.so/x"_s, "elf/prog"_s, "elf/obj.o"_s, "elf/text.txt"_s, "elf/secret"_s, "elf/another-secret"_s}) {
            // text.txt starts as an ELF file does, its magic ends otherwise.
            Scratch::write(m_dir->filePath(file),
                file.startsWith(QLatin1String("elf/")) ? QByteArray::fromHex(file.endsWith(QLatin1String(".txt")) ? "7f656c6602" : "7f454c4602")
                                                       : "#!/bin/sh\n");
        }
        QDir(m_dir->path()).mkpath("elf/secretdir"_s);
        for (const QString &secret : {"elf/secret"_s, "elf/another-secret"_s, "elf/secretdir"_s}) {
            QFile::setPermissions(m_dir->filePath(secret), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        }
        m_source = std::make_unique<Fenced<KCMOS::RootFileSystemModel>>(m_dir->path());
        m_proxy = std::make_unique<FilteredTreeProxyModel>();
        m_proxy->setSourceModel(m_source.get());
        m_source->setRootPath(m_dir->path());
        for (const char *directory : {"", "tree", "tree/a", "tree/b", "elf"}) {
            QVERIFY(Scratch::loadDirectory(m_source.get(), QDir::cleanPath(m_dir->filePath(QLatin1String(directory)))));
        }
        QCOMPARE(shownElfFiles(), "another-secret fake.so obj.o prog secret secretdir text.txt"_s);
    }
private Q_SLOTS:
    void initTestCase()
    {
        // Ten hours east of UTC, so that local time and UTC differ visibly.
        qputenv("TZ", "UTC-10");
        tzset();
        // Roles of dataChanged compare inside QVariant lists.
        QMetaType::registerEqualsComparator<QVector<int>>();
    }
    void cleanup()
    {
        m_tester.reset();
        m_proxy.reset();
        m_source.reset();
        m_model.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        m_tools.reset();
    }

    void verificationResult_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("report");
        QTest::addColumn<int>("exitCode");
        // "ELF xattr key": each G(ood), X (there but bad) or B (neither), with the report's
        // D(escription) or none (-); the key is K for the report's, - for none.
        QTest::addColumn<QString>("expected");
        QTest::newRow("good xattr") << "xattr" << Signed + "Result: good xattr signature\n" << 0 << "BD GD K";
        QTest::newRow("detached line ignored") << "detached" << QByteArray("Result: good detached signature\n") << 0 << "B- B- -";
        QTest::newRow("later line wins") << "later" << Signed + "Result: good ELF signature\nResult: bad ELF signature\n" << 0 << "XD B- K";
        QTest::newRow("case-sensitive") << "case" << QByteArray("Result: GOOD ELF signature\nResult: Xattr good\n") << 0 << "GD B- -";
        QTest::newRow("bad, any case") << "bad" << Signed + "ELF signature: BAD\nxattr signature: Bad\n" << 67 << "XD XD K";
        for (const int code : {0, 64, 65, 66, 67}) {
            QTest::addRow("verdict code %d", code) << "exit%1"_s.arg(code) << GoodElf << code << "GD B- K";
        }
        QTest::newRow("pkexec refused") << "refused" << GoodElf << 126 << "B- B- -";
        QTest::newRow("not a verdict code") << "denied" << GoodElf << 1 << "B- B- -";
        QTest::newRow("crash") << "crash" << GoodElf << 0 << "B- B- -";
        // Nothing the checked path spells is read as the report.
        QTest::newRow("path named") << "xattr good" << QByteArray("%PATH%:\nxattr signature: none\n") << 65 << "BD BD -";
    }
    void verificationResult()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, report);
        QFETCH(int, exitCode);
        QFETCH(QString, expected);
        start({name});
        m_tools->setReport(name, report.replace("%PATH%", QFile::encodeName(m_dir->filePath(name))), exitCode);
        Bsign bsign(QPersistentModelIndex(), m_dir->filePath(name));
        bsign.verify();
        QCOMPARE(bsign.program() + QLatin1Char(' ') + bsign.arguments().join(QLatin1Char(' ')),
            "pkexec "_s + QStringLiteral(BSIGN_PROGRAM) + " -w "_s + m_dir->filePath(name));
        QVERIFY(bsign.waitForFinished(5000));
        const Bsign::VerificationResult result = bsign.verificationResult();
        const QString description = Bsign().signingInfo(QString::fromLocal8Bit(report.constData()));
        const auto code = [&description](bool good, bool bad, const QString &info) -> QString {
            return QString(QLatin1Char(good ? 'G' : bad ? 'X' : 'B')) + (info.isEmpty() ? "-"_s : info == description ? "D"_s : "?"_s) + QLatin1Char(' ');
        };
        const QString key = result.keyId.isEmpty() ? "-"_s : result.keyId == QLatin1String("1A2b3C4d5E6f7788") ? "K"_s : result.keyId;
        QCOMPARE(code(result.elfGood, result.elfBad, result.elfInfo) + code(result.xattrGood, result.xattrBad, result.xattrInfo) + key, expected);
    }

    void reportParts_data()
    {
        QTest::addColumn<QString>("report");
        QTest::addColumn<QString>("expected");
        // The tag starts with the part read; the hash reads as "algorithm|value".
        const auto row = [](const char *tag, const QString &report, const QString &expected) { QTest::newRow(tag) << report << expected; };
        row("description", QString::fromLatin1(Signed),
            "Key ID: 1A2b3C4d5E6f7788\nDate of signing: %DATE%\nAlgorithm: GOST R 34.11-2012\nHash: 0011223344556677\n8899aabbccddeeff\n"
            "Signing: \n0a 1b 2c 3d 4e 5f 60 71 82 93 a4 b5 c6 d7 e8 f9\n10 11 12 13"_s);
        row("description of nothing", QString(), "No signing information provided."_s);
        row("key, case kept", "signer:   DeadBEEF01 (someone)"_s, "DeadBEEF01"_s);
        row("key, not hex", "signer: nothex"_s, "Unknown"_s);
        row("date, local time", "timestamp:whatever(0)"_s, "%EPOCH%"_s);
        row("date, no seconds", "timestamp: yesterday"_s, "Unknown"_s);
        row("date, more than 64 bits", "timestamp: far (123456789012345678901234567890)"_s, "Unknown"_s);
        row("hash, odd length", "hash: {sha256} abcdefA"_s, "sha256|abc\ndefA"_s);
        row("hash, even length", "hash:{md_gost12_256}00ff"_s, "md_gost12_256|00\nff"_s);
        row("hash, one digit", "hash: {x} 7"_s, "x|\n7"_s);
        row("hash, stops at non-hex", "hash: {a} 12g4\nhash: {b} 5678"_s, "a|1\n2"_s);
        row("hash, no digits", "hash: {sha} zz"_s, "Unknown|caller's"_s);
        row("signature, 16 pairs", "signature:\n\t00112233445566778899AABBCCDDEEFF\n"_s, "\n00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF"_s);
        row("signature, odd digits", "signature:\n abcde"_s, "\nab cd e"_s);
        row("signature, not indented", "signature: abcd"_s, "Unknown"_s);
    }
    void reportParts()
    {
        QFETCH(QString, report);
        QFETCH(QString, expected);
        const Bsign parser;
        QString hash = "caller's"_s;
        const QString algorithm = parser.extractHashAlgorithmAndValue(report, hash);
        const QMap<QString, QString> parts {{"description"_s, parser.signingInfo(report)}, {"key"_s, parser.extractKeyId(report)},
            {"date"_s, parser.extractTimestamp(report)}, {"hash"_s, algorithm + QLatin1Char('|') + hash}, {"signature"_s, parser.extractSignature(report)}};
        const QString part = QString::fromLatin1(QTest::currentDataTag()).section(QLatin1Char(','), 0, 0).section(QLatin1Char(' '), 0, 0);
        const auto localDate
            = [](qint64 seconds) { return QLocale::system().toString(QDateTime::fromSecsSinceEpoch(seconds, Qt::LocalTime), QLocale::ShortFormat); };
        QCOMPARE(parts.value(part), expected.replace("%DATE%"_s, localDate(1704067200)).replace("%EPOCH%"_s, localDate(0)));
    }

    void returnValues()
    {
        const QMap<int, QString> named {{0, "No error"_s}, {1, "Permission denied"_s}, {2, "File not found"_s}, {12, "No memory"_s}, {21, "Is directory"_s},
            {22, "Invalid argument"_s}, {24, "Too many open files"_s}, {26, "File busy"_s}, {28, "No space on device"_s}, {36, "Name too long"_s},
            {64, "No hash found"_s}, {65, "No signature found"_s}, {66, "Bad hash found"_s}, {67, "Bad signature found"_s}, {68, "Unsupported file type"_s},
            {69, "Bad pass phrase"_s}, {70, "Rewrite failed"_s}, {71, "other users may change this file"_s}};
        for (const int code : {-2, -1, 0, 1, 2, 3, 11, 12, 13, 21, 22, 23, 24, 25, 26, 28, 36, 63, 64, 65, 66, 67, 68, 69, 70, 71, 72, 1001, INT_MIN}) {
            const Bsign::ReturnValue value = Bsign().exitCodeToReturnValue(code);
            QCOMPARE(int(value), named.contains(code) ? code : int(Bsign::UnknownError));
            QCOMPARE(Bsign::returnValueToString(value), named.value(code, "Unknown error"_s));
        }
    }
    void checkedOnFirstAskThenShown()
    {
        start({"program"_s, "sub/deep/d1"_s}, {"folder"_s, "sub"_s, "sub/deep"_s});
        QCOMPARE(int(m_model->filter()), 0x6507);
        // The first ask queues the check; until it answers the cells show it going on.
        QCOMPARE(icons("program"_s), " task-ongoing"_s);
        QCOMPARE(cell("program"_s).data(Qt::ToolTipRole).toString(), MissingText);
        QCOMPARE(cell("program"_s).data().toString(), "checking…"_s);
        // Asked twice: queued as any row first, then pending, which a folder never shows.
        QCOMPARE(icons("folder"_s), " "_s);
        QCOMPARE(icons("folder"_s), " "_s);
        QTRY_COMPARE_WITH_TIMEOUT(m_changes.size(), 1, 5000);
        QCOMPARE(
            m_changes.first(), (QList<QVariant> {cell("program"_s), cell("program"_s, SignFileModel::XattrColumn), QVariant::fromValue(QVector<int> {0})}));
        QCOMPARE(icons("program"_s), "task-complete task-reject"_s);
        QCOMPARE(
            cell("program"_s).data().toString() + QLatin1Char('/') + cell("program"_s, SignFileModel::XattrColumn).data().toString(), "signed/not signed"_s);
        QCOMPARE(cell("program"_s).data(Qt::ToolTipRole).toString(), Bsign().signingInfo(QString::fromLatin1(GoodElf)));
        // Folders are never checked, and a known file not again.
        QTest::qWait(100);
        QCOMPARE(m_tools->started(), QStringList {"program"_s});
        // A file check goes through the same pool and reports without touching the cells.
        m_model->checkFile(m_dir->filePath("program"_s));
        QTRY_COMPARE_WITH_TIMEOUT(m_fileChecks, QStringList {"program 1 1 1A2b3C4d5E6f7788"_s}, 5000);
        QCOMPARE(m_changes.size(), 1);
        // Forgetting a subtree asks its files anew; rows outside it keep their results.
        icons("sub/deep/d1"_s);
        QTRY_COMPARE_WITH_TIMEOUT(m_changes.size(), 2, 5000);
        m_model->updateIndexesLevel({m_model->index(m_dir->filePath("sub"_s)), QModelIndex()});
        QCOMPARE(icons("sub/deep/d1"_s) + QLatin1Char(' ') + icons("program"_s), " task-ongoing task-complete task-reject"_s);
        QTRY_COMPARE_WITH_TIMEOUT(m_tools->started().size(), 4, 5000);
        // While files are signed every status may change: none is shown, all are asked anew.
        m_model->setIsSigningRunning(true);
        QCOMPARE(icons("program"_s), "(none) (none)"_s);
        QVERIFY(!cell("program"_s).data(Qt::ToolTipRole).isValid() && cell("program"_s, 0).data().isValid());
        m_model->setIsSigningRunning(false);
        QCOMPARE(icons("program"_s), " task-ongoing"_s);
        QTRY_COMPARE_WITH_TIMEOUT(m_tools->started().size(), 5, 5000);
        // Root refuses links: a file below a linked directory is checked by its real path,
        // and the link's row says where it leads.
        QVERIFY(QFile::link(m_dir->filePath("sub"_s), m_dir->filePath("linked"_s)));
        QVERIFY(Scratch::loadDirectory(m_model.get(), m_dir->filePath("linked"_s)));
        QVERIFY(Scratch::loadDirectory(m_model.get(), m_dir->filePath("linked/deep"_s)));
        icons("linked/deep/d1"_s);
        QTRY_COMPARE_WITH_TIMEOUT(m_tools->log("last-arguments"_s), (QStringList {"-w"_s, m_dir->filePath("sub/deep/d1"_s)}), 5000);
        QCOMPARE(cell("linked"_s, 0).data(Qt::ToolTipRole).toString(), "Link to "_s + m_dir->filePath("sub"_s));
        QCOMPARE(cell("linked"_s, SignFileModel::TypeColumn).data().toString(), "Link"_s);
    }

    void checkWithoutVerdict_data()
    {
        QTest::addColumn<int>("exitCode");
        QTest::newRow("check crashes") << 0;
        QTest::newRow("pkexec refuses") << 126;
    }
    void checkWithoutVerdict()
    {
        QFETCH(int, exitCode);
        const QString name = exitCode ? "x"_s : "x-crash"_s;
        start({name, "y-held"_s, "z-held"_s, "w-held"_s});
        m_tools->setReport(name, GoodElf, exitCode);
        icons(name);
        QTRY_COMPARE_WITH_TIMEOUT(m_changes.size(), 1, 5000);
        QCOMPARE(icons(name), " "_s);
        QCOMPARE(cell(name).data(Qt::ToolTipRole).toString(), MissingText);
        // No check has passed yet: the next ones still run one at a time; once one has, at once.
        for (const QString &held : {"y-held"_s, "z-held"_s, "w-held"_s}) {
            icons(held);
        }
        QTest::qWait(200);
        QCOMPARE(m_tools->started(), (QStringList {name, "y-held"_s}));
        m_tools->release("y-held"_s);
        QTRY_COMPARE_WITH_TIMEOUT(m_tools->started().size(), 4, 5000);
        QVERIFY(m_tools->log().indexOf("end y-held"_s) < m_tools->log().indexOf("start z-held"_s));
        m_tools->release("z-held"_s);
        m_tools->release("w-held"_s);
        QTRY_COMPARE_WITH_TIMEOUT(m_changes.size(), 4, 5000);
        // A repaint does not ask again (pkexec would bring up its question again); forgetting does.
        QCOMPARE(icons(name), " "_s);
        QTest::qWait(100);
        QCOMPARE(m_changes.size(), 4);
        m_model->removeFromQueue(cell(name, 1));
        QCOMPARE(m_changes.last().mid(0, 2), (QList<QVariant> {cell(name), cell(name, SignFileModel::XattrColumn)}));
        icons(name);
        QTRY_COMPARE_WITH_TIMEOUT(m_changes.size(), 6, 5000);
        QCOMPARE(m_tools->started().size(), 5);
        m_model->checkFile(m_dir->filePath(name));
        QTRY_COMPARE_WITH_TIMEOUT(m_fileChecks, QStringList {name + " 0 0 "_s}, 5000);
    }

    void forgottenRowsAndModelEnd()
    {
        start({"a-held"_s, "b"_s, "r-held"_s});
        icons("a-held"_s);
        icons("b"_s);
        QTRY_COMPARE_WITH_TIMEOUT(m_tools->started().size(), 1, 5000);
        m_model->checkFile(m_dir->filePath("r-held"_s));
        m_model->removeFromQueue(cell("a-held"_s));
        m_model->removeFromQueue(cell("b"_s));
        m_model->dropFileChecks();
        m_tools->release("a-held"_s);
        QTRY_VERIFY_WITH_TIMEOUT(m_tools->log().contains("end a-held"_s), 5000);
        QTest::qWait(100);
        // Neither the forgotten row nor the dropped file check was checked; the result was dropped.
        QCOMPARE(m_tools->started(), QStringList {"a-held"_s});
        QVERIFY(m_fileChecks.isEmpty());
        QCOMPARE(icons("a-held"_s), " task-ongoing"_s);
        // A model that ends leaves a running check (root's, under pkexec) to finish, then reaps it.
        QTRY_COMPARE_WITH_TIMEOUT(m_tools->log().count("end a-held"_s), 2, 5000);
        icons("r-held"_s);
        QTRY_VERIFY_WITH_TIMEOUT(m_tools->started().contains("r-held"_s), 5000);
        QTest::qWait(100);
        const pid_t held = m_tools->heldPid();
        m_model.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(::kill(held, 0), 0);
        m_tools->release("r-held"_s);
        QTRY_COMPARE_WITH_TIMEOUT(::kill(held, 0), -1, 5000);
    }

    void tickRules_data()
    {
        // "+path" ticks, "-path" unticks, "~path" sets the partial mark, "load:path" loads a
        // directory, a word runs a command; "path=N" compares the mark shown ("." is the test
        // directory, "/" the top row), "#path=N" the rows shown under it, "signals=N" the
        // announcements of a change of ticks; after "|" come the topmost ticked rows.
        QTest::addColumn<QString>("steps");
        const QString allOfA = "+tree/a/a1 +tree/a/a2 +tree/a/a3 tree/a=1 +tree/a/sub "_s;
        const QString deep = "+tree/a load:tree/a/sub tree/a/sub=2 tree/a/sub/s1=2 tree/a/sub/s2=2 "_s;
        const QString deepUntick = deep + "-tree/a/sub/s1 tree/a/sub/s1=0 tree/a/sub/s2=2 tree/a/sub=1 tree/a=1 tree/a/a1=2 tree=1 "_s;
        QTest::newRow("one child") << "+tree/a/a1 tree/a/a1=2 tree/a/a2=0 tree/a=1 tree=1 .=1 /=1 tree/b=0 | tree/a/a1";
        QTest::newRow("last child ticks the parent") << QString(allOfA + "tree/a=2 tree/a/a2=2 tree=1 | tree/a"_s);
        QTest::newRow("and goes up") << QString(allOfA + "+tree/b/b1 tree/b=2 +tree/c tree=2 .=1 tree/a/a1=2 | tree"_s);
        QTest::newRow("untick inside a ticked directory")
            << "+tree/a tree/a/a2=2 -tree/a/a2 tree/a=1 tree/a/a2=0 tree/a/a1=2 tree/a/sub=2 tree=1 | tree/a/a1 tree/a/a3 tree/a/sub";
        QTest::newRow("untick the only ticked row") << "+tree/a/a1 -tree/a/a1 /=0 .=0 tree=0 tree/a=0 tree/a/a1=0 |";
        QTest::newRow("untick beside a ticked branch") << "+tree/a/a1 +tree/b/b1 -tree/a/a1 tree/a=0 tree=1 | tree/b";
        QTest::newRow("topmost rows") << "+tree/b +tree/a/a1 | tree/a/a1 tree/b";
        QTest::newRow("level loaded under a ticked row") << QString(deep + "| tree/a"_s);
        QTest::newRow("untick clears derived marks") << QString(deep + "-tree/a tree/a/sub=0 tree/a/sub/s1=0 |"_s);
        QTest::newRow("deep untick inside") << QString(deepUntick + "| tree/a/a1 tree/a/a2 tree/a/a3 tree/a/sub/s2"_s);
        QTest::newRow("deep tick again") << QString(deepUntick + "+tree/a/sub/s1 tree/a/sub=2 tree/a=2 | tree/a"_s);
        // A click on a partly ticked row asks for Checked; anything else unticks.
        QTest::newRow("partial mark unticks") << "+tree/a/a1 ~tree/a/a1 tree/a/a1=0 |";
        QTest::newRow("reset") << "+tree/a/a1 reset tree/a=0 |";
        QTest::newRow("new source") << "+tree/a/a1 source |";
        // While files are signed everything stays; the switch re-filters only once set again.
        QTest::newRow("ELF filter") << "#elf=7 only-elf #elf=5 #tree/a=1 all-files #elf=7 signing only-elf #elf=7 signed #elf=7 only-elf #elf=5 |";
        // A re-filter unticks the top only when no ticked row stays shown.
        QTest::newRow("re-filter keeps a shown tick") << "+elf/text.txt +elf/prog only-elf /=1 | elf/prog";
        QTest::newRow("re-filter unticks the top") << "+elf/text.txt signals=1 only-elf /=0 signals=2 |";
    }
    void tickRules()
    {
        buildTree();
        m_tester = std::make_unique<QAbstractItemModelTester>(m_proxy.get(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        QFETCH(QString, steps);
        FakeHelperBackend backend;
        QSignalSpy announced(m_proxy.get(), &CheckableTreeProxyModel::someCheckedStateChenged);
        const QHash<QString, std::function<void()>> commands {{"reset"_s, [this] { m_proxy->reset(); }},
            {"source"_s, [this] { m_proxy->setSourceModel(m_source.get()); }}, {"only-elf"_s, [this] { m_proxy->showOnlyElf(true); }},
            {"all-files"_s, [this] { m_proxy->showOnlyElf(false); }}, {"signing"_s, [this] { m_proxy->setIsSigningRunning(true); }},
            {"signed"_s, [this] { m_proxy->setIsSigningRunning(false); }}};
        const QStringList parts = steps.split(QLatin1Char('|'));
        for (const QString &step : parts.first().split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            const QString what = step.section(QLatin1Char('='), 0, 0);
            if (step.startsWith(QLatin1String("load:"))) {
                QVERIFY(Scratch::loadDirectory(m_source.get(), m_dir->filePath(step.mid(5))));
            } else if (commands.contains(step)) {
                commands.value(step)();
            } else if (step.contains(QLatin1Char('='))) {
                const int shown = what == QLatin1String("signals") ? announced.count()
                    : what.startsWith(QLatin1Char('#'))            ? m_proxy->rowCount(row(what.mid(1)))
                                                                   : state(what);
                QVERIFY2(shown == step.section(QLatin1Char('='), 1).toInt(), qPrintable(step));
            } else {
                const QChar sign = step.at(0);
                QVERIFY(tick(step.mid(1), sign == QLatin1Char('+') ? Qt::Checked : sign == QLatin1Char('~') ? Qt::PartiallyChecked : Qt::Unchecked));
            }
        }
        QCOMPARE(checkedPaths(), parts.last().trimmed());
    }

    void tickSignalsAndFlags()
    {
        buildTree();
        tick("tree/a/a1"_s, Qt::Checked);
        QSignalSpy changed(m_proxy.get(), &QAbstractItemModel::dataChanged);
        // The path from the first new mark down to the row, then the row's children at once;
        // the walk up stops at the first ancestor that has a mark already.
        tick("tree/a"_s, Qt::Checked);
        const QModelIndex a = row("tree/a"_s);
        QCOMPARE(changed,
            (QList<QList<QVariant>> {{a, a, QVariant::fromValue(QVector<int> {Qt::CheckStateRole})},
                {m_proxy->index(0, 0, a), m_proxy->index(3, 0, a), QVariant::fromValue(QVector<int> {Qt::CheckStateRole})}}));
        const QModelIndex file = row("tree/a/a1"_s);
        QCOMPARE(m_proxy->flags(file), m_source->flags(m_proxy->mapToSource(file)) | Qt::ItemIsUserCheckable);
        QVERIFY(!m_proxy->flags(file.siblingAtColumn(1)).testFlag(Qt::ItemIsUserCheckable));
        QVERIFY(!m_proxy->flags(QModelIndex()) && !m_proxy->setData(QModelIndex(), Qt::Checked, Qt::CheckStateRole));
        QVERIFY(!file.siblingAtColumn(1).data(Qt::CheckStateRole).isValid() && file.data().toString() == "a1"_s);
    }

    void unreadableFileAskedThroughHelper_data()
    {
        QTest::addColumn<int>("helperError");
        QTest::addColumn<bool>("heldByLongAction");
        QTest::newRow("helper says ELF") << 0 << false;
        QTest::newRow("helper says not ELF") << 1 << false;
        QTest::newRow("asked once a long action has ended") << 1 << true;
    }
    void unreadableFileAskedThroughHelper()
    {
        buildTree();
        QFETCH(int, helperError);
        QFETCH(bool, heldByLongAction);
        FakeHelperBackend backend;
        // Rows change and reorder inside the nested event loop of each call.
        backend.script("ru.orlis.kcm.digsig.setupsigning"_s, [&](const QVariantMap &arguments) {
            QTimer::singleShot(0, m_source.get(), [&]() {
                const QModelIndex elf = m_source->index(m_dir->filePath("elf"_s));
                Q_EMIT m_source->dataChanged(m_source->index(0, 0, elf), m_source->index(m_source->rowCount(elf) - 1, 0, elf));
                m_source->sort(0, backend.calls().size() == 1 ? Qt::DescendingOrder : Qt::AscendingOrder);
            });
            HelperScript answer;
            answer.error = arguments.value("check_elf"_s).toString().endsWith(QLatin1String("/secret")) ? helperError : 0;
            return answer;
        });
        std::unique_ptr<HelperJob> longAction(
            heldByLongAction ? HelperCall::executeLong(HelperCall::action("%1.change"_s, HelperCall::DigsigNamespace), {}) : nullptr);
        backend.clearCalls();
        // Changes of the source re-filter rows: all is checked while a user's view holds.
        Scratch::RealUserScope asUser;
        QVERIFY(asUser.isActive() && !QFileInfo(m_dir->filePath("elf/secret"_s)).isReadable());
        m_proxy->showOnlyElf(true);
        // Shown until the helper, asked from the event loop, has answered.
        QCOMPARE(shownElfFiles(), "another-secret fake.so prog secret secretdir"_s);
        QVERIFY(backend.calls().isEmpty());
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QCOMPARE(backend.calls().isEmpty(), heldByLongAction);
        longAction.reset();
        QTRY_VERIFY_WITH_TIMEOUT(
            backend.calls().size() >= 2 && std::none_of(backend.jobs().cbegin(), backend.jobs().cend(), [](const auto &job) { return bool(job); }), 5000);
        // A tick sets the switch again: the answers are kept, the helper not asked again.
        m_proxy->showOnlyElf(true);
        QCoreApplication::processEvents();
        QCOMPARE(shownElfFiles(), helperError ? "another-secret fake.so prog secretdir"_s : "another-secret fake.so prog secret secretdir"_s);
        QCOMPARE(backend.calls().size(), 2);
        QCOMPARE(backend.calls().first().arguments.value("check_elf"_s).toString(), m_dir->filePath("elf/secret"_s));
        // Without its source the proxy stops asking.
        m_proxy->setSourceModel(nullptr);
        QCOMPARE(m_proxy->rowCount(), 0);
    }
};

QTEST_MAIN(FileTreeTest)
#include "filetreetest.moc"

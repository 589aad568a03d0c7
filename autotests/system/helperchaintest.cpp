// Drives the module's privileged-call layer against the real helpers: private system bus,
// polkitd, D-Bus activation, a non-root caller. Run by helperchain-systemtest.sh inside the
// sandbox (tools/sandbox-run.sh), which prepares the files named in the environment and
// checks what only root can read afterwards.

#include "helpercall.h"
#include "helperjob.h"

#include <KAuth/ActionReply>

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <unistd.h>

namespace {
QString fixture(const char *name)
{
    return QString::fromLocal8Bit(qgetenv(name));
}

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// Runs the job and waits for its end, failing instead of hanging.
bool finishes(HelperJob *job, int milliseconds = 60000)
{
    QSignalSpy finished(job, &KJob::finished);
    job->start();
    return finished.wait(milliseconds) || finished.count() > 0;
}

QMap<QString, QString> settingsOf(const QString &text)
{
    static const QRegularExpression setting(QStringLiteral("^[[:space:]]*(?<key>[_A-Z\\d]+)=(?<value>\\d+)[[:space:]]*$"));
    QMap<QString, QString> values;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = setting.match(line);
        if (match.hasMatch()) {
            values.insert(match.captured(QStringLiteral("key")), match.captured(QStringLiteral("value")));
        }
    }
    return values;
}

QVariantHash settingsHash(int elfMode, int verificationMode, const QString &templates)
{
    return {{QStringLiteral("DIGSIG_ELF_MODE"), elfMode}, {QStringLiteral("DIGSIG_XATTR_MODE"), 2}, {QStringLiteral("DIGSIG_IGNORE_XATTR_KEYS"), 1},
        {QStringLiteral("DIGSIG_IGNORE_GOST2001"), 0}, {QStringLiteral("DIGSIG_XATTR_CONTROL"), templates},
        {QStringLiteral("DIGSIG_ELF_VERIFICATION_MODE"), verificationMode}};
}

KAuth::Action signingAction(const QStringList &files, int mode, const QStringList &paths)
{
    KAuth::Action action = HelperCall::action(QStringLiteral("%1.setupsigning"), HelperCall::DigsigNamespace, 2147483647);
    QVariantMap arguments {{QStringLiteral("signing_process"), QString()}, {QStringLiteral("files"), files},
        {QStringLiteral("key_id"), fixture("DIGSIG_TEST_KEY")}, {QStringLiteral("mode"), mode}, {QStringLiteral("DISPLAY"), QString()},
        {QStringLiteral("XAUTHORITY"), QString()}};
    action.setArguments(arguments);
    if (mode != 0) {
        action.addArgument(QStringLiteral("paths"), paths);
    }
    return action;
}

QStringList filesBelow(const QString &directory)
{
    QStringList files;
    const QStringList names = QDir(directory).entryList(QDir::Files, QDir::Name);
    for (const QString &name : names) {
        files.append(directory + QLatin1Char('/') + name);
    }
    return files;
}
}

class HelperChainTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void applyWritesBothFiles();
    void applyRefusesOutOfRangeValueAndWritesNothing();
    void accessIsGranted();
    void keyListShowsGostKey();
    void exportWritesKeyFile();
    void exportRefusesPathOutsideKeyDirectories();
    void checkElfAnswersForUnreadableFiles();
    void directoryListingOfUnreadableDirectory();
    void signingReportsEveryFile();
    void cancelStopsLongRun();
    void signingRaceReachesNoLinkTarget();
    void keyListDuringUpdateDoesNotHang();
    void thousandMixedCallsAllEnd();
    void loggingSucceeds();
    void deniedCallerGetsAuthorizationError();
};

void HelperChainTest::initTestCase()
{
    QVERIFY2(getuid() != 0, "the caller must not be root: polkit authorises root without rules");
    QVERIFY(!fixture("DIGSIG_TEST_TREE").isEmpty());
}

void HelperChainTest::applyWritesBothFiles()
{
    const QString templates = QStringLiteral("/usr/bin/\n//usr/sbin/sshd\n");
    KAuth::Action action = HelperCall::action(QStringLiteral("%1.change"), HelperCall::DigsigNamespace, 480000);
    action.addArgument(QStringLiteral("change_digsig"), settingsHash(2, -1, templates));
    HelperJob *apply = HelperCall::execute(action);
    QVERIFY2(apply->exec(), qPrintable(apply->errorString()));

    const QString conf = readText(QStringLiteral("/etc/digsig/digsig_initramfs.conf"));
    const QMap<QString, QString> values = settingsOf(conf);
    QCOMPARE(values.value(QStringLiteral("DIGSIG_ELF_MODE")), QStringLiteral("2"));
    QCOMPARE(values.value(QStringLiteral("DIGSIG_XATTR_MODE")), QStringLiteral("2"));
    QCOMPARE(values.value(QStringLiteral("DIGSIG_IGNORE_XATTR_KEYS")), QStringLiteral("1"));
    QCOMPARE(values.value(QStringLiteral("DIGSIG_IGNORE_GOST2001")), QStringLiteral("0"));
    // -1 keeps the value the file had (the set-up wrote 3).
    QCOMPARE(values.value(QStringLiteral("DIGSIG_ELF_VERIFICATION_MODE")), QStringLiteral("3"));
    QVERIFY(conf.contains(QStringLiteral("# kept comment")));
    QCOMPARE(readText(QStringLiteral("/etc/digsig/xattr_control")), templates);
    QCOMPARE(QFile::permissions(QStringLiteral("/etc/digsig/xattr_control")) & QFileDevice::ReadOther, QFileDevice::ReadOther);
}

void HelperChainTest::applyRefusesOutOfRangeValueAndWritesNothing()
{
    const QString before = readText(QStringLiteral("/etc/digsig/digsig_initramfs.conf"));
    KAuth::Action action = HelperCall::action(QStringLiteral("%1.change"), HelperCall::DigsigNamespace, 480000);
    action.addArgument(QStringLiteral("change_digsig"), settingsHash(7, 0, QStringLiteral("/x/\n")));
    HelperJob *apply = HelperCall::execute(action);
    QVERIFY(!apply->exec());
    QVERIFY2(apply->errorString().contains(QStringLiteral("DIGSIG_ELF_MODE")), qPrintable(apply->errorString()));
    QCOMPARE(readText(QStringLiteral("/etc/digsig/digsig_initramfs.conf")), before);
}

void HelperChainTest::accessIsGranted()
{
    HelperJob *job = HelperCall::execute(HelperCall::action(QStringLiteral("%1.access"), HelperCall::SecuritySettingsNamespace));
    QVERIFY2(job->exec(), qPrintable(job->errorString()));
}

void HelperChainTest::keyListShowsGostKey()
{
    HelperJob *job = HelperCall::execute(HelperCall::action(QStringLiteral("%1.keyslist"), HelperCall::DigsigNamespace));
    QVERIFY2(job->exec(), qPrintable(job->errorString()));
    QCOMPARE(job->data().value(fixture("DIGSIG_TEST_KEY_UID")).toString(), fixture("DIGSIG_TEST_KEY"));
}

void HelperChainTest::exportWritesKeyFile()
{
    const QString path = QStringLiteral("/etc/digsig/xattr_keys/%1.gpg").arg(fixture("DIGSIG_TEST_KEY"));
    KAuth::Action action = HelperCall::action(QStringLiteral("%1.exportkey"), HelperCall::DigsigNamespace);
    action.setArguments({{QStringLiteral("key"), fixture("DIGSIG_TEST_KEY")}, {QStringLiteral("path"), path}});
    HelperJob *job = HelperCall::execute(action);
    QVERIFY2(job->exec(), qPrintable(job->errorString()));
    QVERIFY(QFileInfo(path).size() > 0);
}

void HelperChainTest::exportRefusesPathOutsideKeyDirectories()
{
    KAuth::Action action = HelperCall::action(QStringLiteral("%1.exportkey"), HelperCall::DigsigNamespace);
    action.setArguments({{QStringLiteral("key"), fixture("DIGSIG_TEST_KEY")}, {QStringLiteral("path"), QStringLiteral("/etc/digsig/xattr_keys/../owned.gpg")}});
    HelperJob *job = HelperCall::execute(action);
    QVERIFY(!job->exec());
    QVERIFY(!QFile::exists(QStringLiteral("/etc/digsig/owned.gpg")));
}

void HelperChainTest::checkElfAnswersForUnreadableFiles()
{
    const QString privateDir = fixture("DIGSIG_TEST_PRIVATE");
    QVERIFY(!QFileInfo(privateDir + QStringLiteral("/program")).isReadable());
    KAuth::Action elf = HelperCall::action(QStringLiteral("%1.setupsigning"), HelperCall::DigsigNamespace);
    elf.addArgument(QStringLiteral("check_elf"), QString(privateDir + QStringLiteral("/program")));
    HelperJob *elfJob = HelperCall::execute(elf);
    QVERIFY2(elfJob->exec(), qPrintable(elfJob->errorString()));

    KAuth::Action text = HelperCall::action(QStringLiteral("%1.setupsigning"), HelperCall::DigsigNamespace);
    text.addArgument(QStringLiteral("check_elf"), QString(privateDir + QStringLiteral("/notes.txt")));
    HelperJob *textJob = HelperCall::execute(text);
    QVERIFY(!textJob->exec());
}

void HelperChainTest::directoryListingOfUnreadableDirectory()
{
    const QString privateDir = fixture("DIGSIG_TEST_PRIVATE");
    KAuth::Action action = HelperCall::action(QStringLiteral("%1.setupsigning"), HelperCall::DigsigNamespace);
    action.addArgument(QStringLiteral("get_dir_iter"), privateDir);
    HelperJob *job = HelperCall::execute(action);
    QVERIFY2(job->exec(), qPrintable(job->errorString()));
    const QVariantMap expected {{privateDir + QStringLiteral("/program"), true}, {privateDir + QStringLiteral("/notes.txt"), true},
        {privateDir + QStringLiteral("/link"), false}, {privateDir + QStringLiteral("/sub/deep"), true}};
    QCOMPARE(job->data(), expected);
}

void HelperChainTest::signingReportsEveryFile()
{
    const QString tree = fixture("DIGSIG_TEST_TREE");
    const QStringList files = filesBelow(tree);
    QVERIFY(files.size() >= 3);
    HelperJob *job = HelperCall::execute(signingAction(files, 2, {tree}));
    QList<QVariantMap> records;
    connect(job, &HelperJob::newData, this, [&records](const QVariantMap &record) { records.append(record); });
    QVERIFY(finishes(job));
    QVERIFY2(job->error() == 0, qPrintable(job->errorString()));

    QCOMPARE(records.size(), files.size() + 1);
    QVariantMap results;
    for (int i = 0; i < files.size(); ++i) {
        results.insert(records.at(i).value(QStringLiteral("file_finished")).toMap());
    }
    for (const QString &file : files) {
        const int expected = file.endsWith(QLatin1String(".txt")) ? 68 : 0; // text files are no ELF files
        QCOMPARE(results.value(file, -1).toInt(), expected);
    }
    const QVariantMap exported = records.last().value(QStringLiteral("export_result")).toMap();
    QCOMPARE(exported.value(QStringLiteral("error_text")).toString(), QString());
    QCOMPARE(exported.value(QStringLiteral("key_id")).toString(), fixture("DIGSIG_TEST_KEY"));
    QVERIFY(QFileInfo(exported.value(QStringLiteral("path")).toString()).size() > 0);
    QVERIFY(readText(QStringLiteral("/etc/digsig/xattr_control")).split(QLatin1Char('\n')).contains(tree + QLatin1Char('/')));
}

// Run alone while the script swaps a file and its directory for links to root's files; the
// script then checks that root's files gained no signature and no byte of change.
void HelperChainTest::signingRaceReachesNoLinkTarget()
{
    if (fixture("DIGSIG_TEST_ROLE") != QLatin1String("race")) {
        QSKIP("run by the script while links are being swapped in");
    }
    const QString directory = fixture("DIGSIG_TEST_RACE_DIR");
    QStringList files;
    for (int i = 1; i <= 200; ++i) {
        files.append(directory + QStringLiteral("/f-%1").arg(i, 3, 10, QLatin1Char('0')));
    }
    HelperJob *job = HelperCall::execute(signingAction(files, 2, {directory}));
    int signedFiles = 0;
    int records = 0;
    connect(job, &HelperJob::newData, this, [&](const QVariantMap &record) {
        ++records;
        const QVariantMap finished = record.value(QStringLiteral("file_finished")).toMap();
        signedFiles += !finished.isEmpty() && finished.first().toInt() == 0 ? 1 : 0;
    });
    QVERIFY(finishes(job, 240000));
    QVERIFY2(job->error() == 0, qPrintable(job->errorString()));
    QCOMPARE(records, files.size() + 1);
    // How many get through depends on the scheduler; the script checks what matters.
    qInfo("%d of %d files signed between the swaps", signedFiles, int(files.size()));
}

void HelperChainTest::cancelStopsLongRun()
{
    const QStringList files = filesBelow(fixture("DIGSIG_TEST_LONG_TREE"));
    HelperJob *job = HelperCall::execute(signingAction(files, 0, {}));
    int records = 0;
    connect(job, &HelperJob::newData, this, [&records, job](const QVariantMap &) {
        if (++records == 3) {
            job->kill(KJob::EmitResult);
        }
    });
    QVERIFY(finishes(job));
    QCOMPARE(job->error(), int(KJob::KilledJobError));

    // The helper stops at its next look at the stop flag: far fewer records than files.
    // The next call waits for that answer instead of reaching a busy helper.
    QVERIFY2(records < files.size() / 2, qPrintable(QString::number(records)));
    HelperJob *next = HelperCall::execute(HelperCall::action(QStringLiteral("%1.keyslist"), HelperCall::DigsigNamespace));
    QVERIFY(finishes(next));
    QCOMPARE(next->error(), 0);
}

void HelperChainTest::keyListDuringUpdateDoesNotHang()
{
    KAuth::Action update = HelperCall::action(QStringLiteral("%1.change"), HelperCall::DigsigNamespace, 480000);
    update.addArgument(QStringLiteral("update_only"), QVariant());
    HelperJob *updateJob = HelperCall::execute(update);
    updateJob->setAutoDelete(false);
    QStringList warnings;
    connect(
        updateJob, &HelperJob::newData, this, [&warnings](const QVariantMap &record) { warnings.append(record.value(QStringLiteral("warning")).toString()); });
    QSignalSpy updateFinished(updateJob, &KJob::finished);
    updateJob->start();
    QTRY_VERIFY_WITH_TIMEOUT(!warnings.isEmpty(), 30000);
    QVERIFY(updateFinished.isEmpty()); // the update is still running

    // A call waits in line no longer than its timeout, then fails as busy.
    HelperJob *hurried = HelperCall::execute(HelperCall::action(QStringLiteral("%1.keyslist"), HelperCall::DigsigNamespace, 300));
    hurried->setAutoDelete(false);
    QVERIFY(finishes(hurried, 10000));
    QCOMPARE(hurried->error(), int(KAuth::ActionReply::HelperBusyError));
    QVERIFY(updateFinished.isEmpty());
    delete hurried;

    HelperJob *keys = HelperCall::execute(HelperCall::action(QStringLiteral("%1.keyslist"), HelperCall::DigsigNamespace));
    const bool keysFinished = finishes(keys, 60000);
    // The key list waits for the update to end; a helper reached while busy would never answer.
    QVERIFY(keysFinished);

    QVERIFY(updateFinished.count() > 0 || updateFinished.wait(30000));
    QCOMPARE(updateJob->error(), 0);
    delete updateJob;
    QVERIFY2(warnings.contains(QStringLiteral("template /no/such/dir/ matches no file")), qPrintable(warnings.join(QLatin1Char('|'))));
}

// Back to back, with no pause between a helper's answer and the next call: none is lost.
void HelperChainTest::thousandMixedCallsAllEnd()
{
    constexpr int Calls = 1000;
    const QString program = fixture("DIGSIG_TEST_PRIVATE") + QStringLiteral("/program");
    int ended = 0;
    int failed = 0;
    const auto count = [&](KJob *job) {
        ++ended;
        failed += job->error() ? 1 : 0;
    };
    for (int i = 0; i < Calls; ++i) {
        HelperJob *job = nullptr;
        switch (i % 3) {
        case 0:
            job = HelperCall::execute(HelperCall::action(QStringLiteral("%1.keyslist"), HelperCall::DigsigNamespace));
            break;
        case 1:
            job = HelperCall::execute(HelperCall::action(QStringLiteral("%1.access"), HelperCall::SecuritySettingsNamespace));
            break;
        default: {
            KAuth::Action elf = HelperCall::action(QStringLiteral("%1.setupsigning"), HelperCall::DigsigNamespace);
            elf.addArgument(QStringLiteral("check_elf"), program);
            job = HelperCall::execute(elf);
        }
        }
        connect(job, &KJob::result, this, count);
        if (i % 2) {
            job->start();
        } else {
            job->exec();
        }
    }
    QTRY_COMPARE_WITH_TIMEOUT(ended, Calls, 120000);
    QCOMPARE(failed, 0);
}

void HelperChainTest::loggingSucceeds()
{
    KAuth::Action action = HelperCall::action(QStringLiteral("%1.logging"), HelperCall::DigsigNamespace);
    action.addArgument(QStringLiteral("log"), QStringList {QStringLiteral("File \"/a\" signed successfully."), QStringLiteral("forged\n=== header ===")});
    HelperJob *job = HelperCall::execute(action);
    QVERIFY2(job->exec(), qPrintable(job->errorString()));
}

void HelperChainTest::deniedCallerGetsAuthorizationError()
{
    if (fixture("DIGSIG_TEST_ROLE") != QLatin1String("denied")) {
        QSKIP("runs as the denied user only");
    }
    HelperJob *access = HelperCall::execute(HelperCall::action(QStringLiteral("%1.access"), HelperCall::SecuritySettingsNamespace));
    QVERIFY(!access->exec());
    QCOMPARE(access->error(), int(KAuth::ActionReply::AuthorizationDeniedError));

    const QString before = readText(QStringLiteral("/etc/digsig/digsig_initramfs.conf"));
    KAuth::Action change = HelperCall::action(QStringLiteral("%1.change"), HelperCall::DigsigNamespace, 480000);
    change.addArgument(QStringLiteral("change_digsig"), settingsHash(0, 0, QString()));
    HelperJob *apply = HelperCall::execute(change);
    QVERIFY(!apply->exec());
    QCOMPARE(apply->error(), int(KAuth::ActionReply::AuthorizationDeniedError));
    QCOMPARE(readText(QStringLiteral("/etc/digsig/digsig_initramfs.conf")), before);
}

QTEST_GUILESS_MAIN(HelperChainTest)

#include "helperchaintest.moc"

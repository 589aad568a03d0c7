// The helper library against scratch roots: what each action writes on success, and a table
// of bad inputs per action, each refused with an error and without writing anything.

#include "bootlistupdater.h"
#include "boundedprocess.h"
#include "helperenvironment.h"
#include "keyactions.h"
#include "settingswriter.h"
#include "signinglog.h"
#include "signingpool.h"
#include "signingrun.h"
#include "treelister.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {
void writeFile(const QString &path, const QByteArray &content, QFileDevice::Permissions permissions = {})
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    file.close();
    if (permissions) {
        file.setPermissions(permissions);
    }
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every file below the root with its content: the "nothing written" check.
QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(path, readFile(path));
    }
    return files;
}

// The reader's grammar: a blank line, a comment, or KEY=digits.
QMap<QString, QString> readBack(const QByteArray &content, QStringList *badLines)
{
    static const QRegularExpression lineRule(QStringLiteral("^([[:space:]]*|[[:space:]]*#.*|[[:space:]]*[_A-Z\\d]+=\\d+[[:space:]]*)$"));
    static const QRegularExpression settingRule(QStringLiteral("^[[:space:]]*(?<key>[_A-Z\\d]+)=(?<value>\\d+)[[:space:]]*$"));
    QMap<QString, QString> values;
    for (const QString &line : QString::fromUtf8(content).split(QLatin1Char('\n'))) {
        if (!lineRule.match(line).hasMatch()) {
            badLines->append(line);
            continue;
        }
        const QRegularExpressionMatch setting = settingRule.match(line);
        if (setting.hasMatch()) {
            values.insert(setting.captured(QStringLiteral("key")), setting.captured(QStringLiteral("value")));
        }
    }
    return values;
}

QVariantHash goodSettings()
{
    return {{QStringLiteral("DIGSIG_ELF_MODE"), 1}, {QStringLiteral("DIGSIG_XATTR_MODE"), 2}, {QStringLiteral("DIGSIG_IGNORE_XATTR_KEYS"), 0},
        {QStringLiteral("DIGSIG_IGNORE_GOST2001"), 1}, {QStringLiteral("DIGSIG_XATTR_CONTROL"), QStringLiteral("/opt/app/\n//usr/bin/tool\n")},
        {QStringLiteral("DIGSIG_ELF_VERIFICATION_MODE"), 4}};
}

QVariantHash settingsWith(const QString &key, const QVariant &value)
{
    QVariantHash settings = goodSettings();
    if (value.isValid()) {
        settings.insert(key, value);
    } else {
        settings.remove(key);
    }
    return settings;
}
}

class HelperActionsTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();

    void changeWritesBothFilesReadableUnderGrammar();
    void changeKeepsCommentsAndUnrelatedLines();
    void changeKeepsVerificationModeForMinusOne();
    void changeRefusesBadSettings_data();
    void changeRefusesBadSettings();

    void updateSendsWarningsAndSucceeds();
    void updateFailsWithItsErrorText();

    void checkElf_data();
    void checkElf();
    void listDirectoryMapsRegularFiles();
    void listDirectoryRefusesBadPaths_data();
    void listDirectoryRefusesBadPaths();
    void listDirectoryRefusesOversizedTree();

    void signingRefusesBadRequests_data();
    void signingRefusesBadRequests();
    void signingReportsMissingLinkedAndSpecialFiles();
    void signingRunsInParallelEachFileOnceAndStops();
    void overdueOrMissingBsignIsRecorded();
    void templatesAddDirectoriesAndFilesOnce();

    void exportRefusesBadArguments_data();
    void exportRefusesBadArguments();

    void logAppendsUnderHeader();
    void logCannotBeForged();
    void logRefusesBadInput_data();
    void logRefusesBadInput();

private:
    HelperEnvironment environment() const;
    QString path(const QString &absolute) const;

    QScopedPointer<QTemporaryDir> m_root;
};

void HelperActionsTest::init()
{
    m_root.reset(new QTemporaryDir);
    QVERIFY(m_root->isValid());
    QDir().mkpath(path(QStringLiteral("/etc/digsig")));
    QDir().mkpath(path(QStringLiteral("/var/log")));
}

HelperEnvironment HelperActionsTest::environment() const
{
    return HelperEnvironment(m_root->path(), QStringLiteral("/bin/true"), m_root->path() + QStringLiteral("/update"));
}

QString HelperActionsTest::path(const QString &absolute) const
{
    return environment().underRoot(absolute);
}

void HelperActionsTest::changeWritesBothFilesReadableUnderGrammar()
{
    const HelperResult result = SettingsWriter::change(environment(), goodSettings());
    QVERIFY2(result.isSuccess(), qPrintable(result.error()));

    QStringList badLines;
    const QMap<QString, QString> values = readBack(readFile(environment().initramfsConfPath()), &badLines);
    QVERIFY(badLines.isEmpty());
    const QMap<QString, QString> expected {{QStringLiteral("DIGSIG_ELF_MODE"), QStringLiteral("1")}, {QStringLiteral("DIGSIG_XATTR_MODE"), QStringLiteral("2")},
        {QStringLiteral("DIGSIG_IGNORE_XATTR_KEYS"), QStringLiteral("0")}, {QStringLiteral("DIGSIG_IGNORE_GOST2001"), QStringLiteral("1")},
        {QStringLiteral("DIGSIG_ELF_VERIFICATION_MODE"), QStringLiteral("4")}};
    QCOMPARE(values, expected);
    QCOMPARE(readFile(environment().xattrControlPath()), QByteArray("/opt/app/\n//usr/bin/tool\n"));
    const QFileDevice::Permissions mode = QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    QCOMPARE(QFile::permissions(environment().initramfsConfPath()) & 0x0777, mode & 0x0777);
    QCOMPARE(QFile::permissions(environment().xattrControlPath()) & 0x0777, mode & 0x0777);
}

void HelperActionsTest::changeKeepsCommentsAndUnrelatedLines()
{
    writeFile(environment().initramfsConfPath(),
        "# signature control\n"
        "DIGSIG_ELF_MODE=0\n"
        "\n"
        "DIGSIG_FOO=7\n"
        "DIGSIG_XATTR_MODE = 1\n"
        "  # indented comment\n"
        "DIGSIG_ELF_MODE=2\n");
    QVERIFY(SettingsWriter::change(environment(), goodSettings()).isSuccess());

    const QByteArray written = readFile(environment().initramfsConfPath());
    QCOMPARE(written,
        QByteArray("# signature control\n"
                   "DIGSIG_ELF_MODE=1\n"
                   "\n"
                   "DIGSIG_FOO=7\n"
                   "#DIGSIG_XATTR_MODE = 1\n"
                   "  # indented comment\n"
                   "DIGSIG_ELF_MODE=1\n"
                   "DIGSIG_XATTR_MODE=2\n"
                   "DIGSIG_IGNORE_XATTR_KEYS=0\n"
                   "DIGSIG_IGNORE_GOST2001=1\n"
                   "DIGSIG_ELF_VERIFICATION_MODE=4\n"));
}

void HelperActionsTest::changeKeepsVerificationModeForMinusOne()
{
    writeFile(environment().initramfsConfPath(), "DIGSIG_ELF_VERIFICATION_MODE=2\n");
    QVERIFY(SettingsWriter::change(environment(), settingsWith(QStringLiteral("DIGSIG_ELF_VERIFICATION_MODE"), -1)).isSuccess());
    QStringList badLines;
    QCOMPARE(readBack(readFile(environment().initramfsConfPath()), &badLines).value(QStringLiteral("DIGSIG_ELF_VERIFICATION_MODE")), QStringLiteral("2"));
}

void HelperActionsTest::changeRefusesBadSettings_data()
{
    QTest::addColumn<QVariant>("settings");
    QTest::addColumn<QString>("expectedError");

    QTest::newRow("not a map") << QVariant(QStringLiteral("DIGSIG_ELF_MODE=1")) << "map";
    QTest::newRow("null") << QVariant() << "map";
    QTest::newRow("missing elf mode") << QVariant(settingsWith(QStringLiteral("DIGSIG_ELF_MODE"), QVariant())) << "DIGSIG_ELF_MODE is missing";
    QTest::newRow("missing templates") << QVariant(settingsWith(QStringLiteral("DIGSIG_XATTR_CONTROL"), QVariant())) << "DIGSIG_XATTR_CONTROL is missing";
    QTest::newRow("mode as text") << QVariant(settingsWith(QStringLiteral("DIGSIG_ELF_MODE"), QStringLiteral("1"))) << "must be an integer";
    QTest::newRow("mode as bool") << QVariant(settingsWith(QStringLiteral("DIGSIG_XATTR_MODE"), true)) << "must be an integer";
    QTest::newRow("mode as double") << QVariant(settingsWith(QStringLiteral("DIGSIG_XATTR_MODE"), 1.0)) << "must be an integer";
    QTest::newRow("elf mode 3") << QVariant(settingsWith(QStringLiteral("DIGSIG_ELF_MODE"), 3)) << "outside 0 to 2";
    QTest::newRow("xattr mode -1") << QVariant(settingsWith(QStringLiteral("DIGSIG_XATTR_MODE"), -1)) << "outside 0 to 2";
    QTest::newRow("flag 2") << QVariant(settingsWith(QStringLiteral("DIGSIG_IGNORE_XATTR_KEYS"), 2)) << "outside 0 to 1";
    QTest::newRow("gost flag -1") << QVariant(settingsWith(QStringLiteral("DIGSIG_IGNORE_GOST2001"), -1)) << "outside 0 to 1";
    QTest::newRow("verification 5") << QVariant(settingsWith(QStringLiteral("DIGSIG_ELF_VERIFICATION_MODE"), 5)) << "outside -1 to 4";
    QTest::newRow("verification -2") << QVariant(settingsWith(QStringLiteral("DIGSIG_ELF_VERIFICATION_MODE"), -2)) << "outside -1 to 4";
    QTest::newRow("huge number") << QVariant(settingsWith(QStringLiteral("DIGSIG_ELF_MODE"), Q_INT64_C(4294967297))) << "outside 0 to 2";
    QTest::newRow("templates as list") << QVariant(settingsWith(QStringLiteral("DIGSIG_XATTR_CONTROL"), QStringList {QStringLiteral("/a/")}))
                                       << "must be a text";
    QTest::newRow("templates with NUL") << QVariant(
        settingsWith(QStringLiteral("DIGSIG_XATTR_CONTROL"), QString(QStringLiteral("/a/") + QChar(0) + QStringLiteral("/b/"))))
                                        << "NUL";
    QTest::newRow("templates too large") << QVariant(
        settingsWith(QStringLiteral("DIGSIG_XATTR_CONTROL"), QString(SettingsWriter::MaxTemplateBytes + 1, QLatin1Char('a'))))
                                         << "larger than";
    QTest::newRow("unknown key") << QVariant(settingsWith(QStringLiteral("DIGSIG_FOO"), 1)) << "Unknown setting DIGSIG_FOO";
}

void HelperActionsTest::changeRefusesBadSettings()
{
    QFETCH(QVariant, settings);
    QFETCH(QString, expectedError);
    writeFile(environment().initramfsConfPath(), "DIGSIG_ELF_MODE=0\n");
    writeFile(environment().xattrControlPath(), "/old/\n");
    const QMap<QString, QByteArray> before = snapshot(m_root->path());

    const HelperResult result = SettingsWriter::change(environment(), settings);
    QVERIFY(!result.isSuccess());
    QVERIFY2(result.error().contains(expectedError), qPrintable(result.error()));
    QCOMPARE(snapshot(m_root->path()), before);
}

void HelperActionsTest::updateSendsWarningsAndSucceeds()
{
    writeFile(environment().updateProgram(), "#!/bin/sh\necho 'update-initramfs: Generating'\necho 'W: first warning'\necho 'W: second' >&2\nexit 0\n",
        QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    QStringList warnings;
    const HelperResult result = BootListUpdater::update(
        environment(), [&warnings](const QVariantMap &record) { warnings.append(record.value(QStringLiteral("warning")).toString()); });
    QVERIFY2(result.isSuccess(), qPrintable(result.error()));
    QCOMPARE(warnings, (QStringList {QStringLiteral("first warning"), QStringLiteral("second")}));
}

void HelperActionsTest::updateFailsWithItsErrorText()
{
    writeFile(
        environment().updateProgram(), "#!/bin/sh\necho 'W: careful'\necho 'E: no space left' >&2\nexit 1\n", QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const HelperResult failed = BootListUpdater::update(environment(), [](const QVariantMap &) {});
    QVERIFY(!failed.isSuccess());
    QCOMPARE(failed.error(), QStringLiteral("no space left"));

    QFile::remove(environment().updateProgram());
    const HelperResult missing = BootListUpdater::update(environment(), [](const QVariantMap &) {});
    QVERIFY(!missing.isSuccess());
    QVERIFY2(missing.error().contains(QStringLiteral("Can not start")), qPrintable(missing.error()));
}

void HelperActionsTest::checkElf_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("elf");

    QTest::newRow("elf program") << "program"
                                 << QByteArray("\x7f"
                                               "ELF\x02\x01\x01",
                                        7)
                                 << true;
    QTest::newRow("shared object") << "libx.so"
                                   << QByteArray("\x7f"
                                                 "ELF\x02",
                                          5)
                                   << true;
    QTest::newRow("object file") << "unit.o"
                                 << QByteArray("\x7f"
                                               "ELF\x02",
                                        5)
                                 << false;
    QTest::newRow("script") << "script.sh" << QByteArray("#!/bin/sh\n") << false;
    QTest::newRow("empty") << "empty" << QByteArray() << false;
    QTest::newRow("three bytes") << "short"
                                 << QByteArray("\x7f"
                                               "EL",
                                        3)
                                 << false;
}

void HelperActionsTest::checkElf()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(bool, elf);
    const QString file = m_root->path() + QLatin1Char('/') + name;
    writeFile(file, content, QFileDevice::ReadOwner);
    QCOMPARE(TreeLister::checkElf(file).isSuccess(), elf);
}

void HelperActionsTest::listDirectoryMapsRegularFiles()
{
    const QString tree = m_root->path() + QStringLiteral("/tree");
    writeFile(tree + QStringLiteral("/a"), "a");
    writeFile(tree + QStringLiteral("/.hidden"), "h");
    writeFile(tree + QStringLiteral("/sub/deep/b"), "b");
    QFile::link(tree + QStringLiteral("/a"), tree + QStringLiteral("/link"));
    QFile::link(tree + QStringLiteral("/sub"), tree + QStringLiteral("/dirlink"));

    const HelperResult result = TreeLister::listDirectory(tree);
    QVERIFY2(result.isSuccess(), qPrintable(result.error()));
    const QVariantMap expected {{tree + QStringLiteral("/a"), true}, {tree + QStringLiteral("/.hidden"), true}, {tree + QStringLiteral("/sub/deep/b"), true},
        {tree + QStringLiteral("/link"), false}, {tree + QStringLiteral("/dirlink"), false}};
    QCOMPARE(result.data(), expected);
}

void HelperActionsTest::listDirectoryRefusesBadPaths_data()
{
    QTest::addColumn<QVariant>("argument");
    QTest::newRow("relative") << QVariant(QStringLiteral("tree"));
    QTest::newRow("dot dot") << QVariant(QStringLiteral("/tmp/../etc"));
    QTest::newRow("trailing slash") << QVariant(QStringLiteral("/etc/"));
    QTest::newRow("empty") << QVariant(QString());
    QTest::newRow("NUL") << QVariant(QString(QStringLiteral("/etc") + QChar(0) + QStringLiteral("x")));
    QTest::newRow("not text") << QVariant(42);
    QTest::newRow("too long") << QVariant(QString(QLatin1Char('/') + QString(5000, QLatin1Char('a'))));
    QTest::newRow("missing") << QVariant(QStringLiteral("/no/such/directory"));
    QTest::newRow("a file") << QVariant(QStringLiteral("/etc/hostname"));
    QTest::newRow("proc") << QVariant(QStringLiteral("/proc/sys"));
    QTest::newRow("sysfs") << QVariant(QStringLiteral("/sys/kernel"));
}

void HelperActionsTest::listDirectoryRefusesBadPaths()
{
    QFETCH(QVariant, argument);
    QVERIFY(!TreeLister::listDirectory(argument).isSuccess());
    QVERIFY(!TreeLister::checkElf(argument).isSuccess());
}

void HelperActionsTest::listDirectoryRefusesOversizedTree()
{
    const QString tree = m_root->path() + QStringLiteral("/big");
    QDir().mkpath(tree);
    for (int i = 0; i <= TreeLister::MaxEntries; ++i) {
        QFile file(tree + QStringLiteral("/f%1").arg(i));
        file.open(QIODevice::WriteOnly);
    }
    const HelperResult result = TreeLister::listDirectory(tree);
    QVERIFY(!result.isSuccess());
    QVERIFY2(result.error().contains(QStringLiteral("too many files")), qPrintable(result.error()));

    const QString linked = m_root->path() + QStringLiteral("/linked");
    QFile::link(tree, linked);
    QVERIFY(TreeLister::listDirectory(linked).error().contains(QStringLiteral("symbolic link")));
}

void HelperActionsTest::signingRefusesBadRequests_data()
{
    QTest::addColumn<QVariantMap>("arguments");
    QTest::addColumn<QString>("expectedError");

    const QVariantMap good {{QStringLiteral("signing_process"), QString()}, {QStringLiteral("files"), QStringList {QStringLiteral("/bin/true")}},
        {QStringLiteral("key_id"), QStringLiteral("0123456789ABCDEF0123456789ABCDEF01234567")}, {QStringLiteral("mode"), 1},
        {QStringLiteral("DISPLAY"), QStringLiteral(":0")}, {QStringLiteral("XAUTHORITY"), QString()},
        {QStringLiteral("paths"), QStringList {QStringLiteral("/bin")}}};
    auto with = [good](const QString &key, const QVariant &value) {
        QVariantMap arguments = good;
        if (value.isValid()) {
            arguments.insert(key, value);
        } else {
            arguments.remove(key);
        }
        return arguments;
    };
    QTest::newRow("files missing") << with(QStringLiteral("files"), QVariant()) << "\"files\"";
    QTest::newRow("files as text") << with(QStringLiteral("files"), QStringLiteral("/bin/true")) << "\"files\"";
    QTest::newRow("relative file") << with(QStringLiteral("files"), QStringList {QStringLiteral("bin/true")}) << "not absolute";
    QTest::newRow("dot dot file") << with(QStringLiteral("files"), QStringList {QStringLiteral("/bin/../etc/shadow")}) << "normalised";
    QTest::newRow("NUL file") << with(QStringLiteral("files"), QStringList {QString(QStringLiteral("/bin/true") + QChar(0))}) << "NUL";
    QTest::newRow("too many files") << with(
        QStringLiteral("files"), QStringList(QVector<QString>(SigningRun::MaxFiles + 1, QStringLiteral("/bin/true")).toList()))
                                    << "Too many";
    QTest::newRow("key missing") << with(QStringLiteral("key_id"), QVariant()) << "key_id";
    QTest::newRow("key not hex") << with(QStringLiteral("key_id"), QStringLiteral("--export-secret-keys")) << "not a whole fingerprint";
    QTest::newRow("key too short") << with(QStringLiteral("key_id"), QStringLiteral("ABCD")) << "not a whole fingerprint";
    QTest::newRow("short key id") << with(QStringLiteral("key_id"), QStringLiteral("89ABCDEF")) << "not a whole fingerprint";
    QTest::newRow("long key id") << with(QStringLiteral("key_id"), QStringLiteral("0123456789ABCDEF")) << "not a whole fingerprint";
    QTest::newRow("fingerprint and line break") << with(QStringLiteral("key_id"), QString(good.value(QStringLiteral("key_id")).toString() + QLatin1Char('\n')))
                                                << "not a whole fingerprint";
    QTest::newRow("mode 3") << with(QStringLiteral("mode"), 3) << "\"mode\"";
    QTest::newRow("mode as text") << with(QStringLiteral("mode"), QStringLiteral("1")) << "\"mode\"";
    QTest::newRow("display missing") << with(QStringLiteral("DISPLAY"), QVariant()) << "DISPLAY";
    QTest::newRow("display with newline") << with(QStringLiteral("DISPLAY"), QStringLiteral(":0\nLD_PRELOAD=x")) << "DISPLAY";
    QTest::newRow("remote display") << with(QStringLiteral("DISPLAY"), QStringLiteral("evil.example.org:0")) << "DISPLAY";
    QTest::newRow("display with trailing newline") << with(QStringLiteral("DISPLAY"), QStringLiteral(":0\n")) << "DISPLAY";
    QTest::newRow("display over tcp") << with(QStringLiteral("DISPLAY"), QStringLiteral("tcp/localhost:0")) << "DISPLAY";
    QTest::newRow("relative xauthority") << with(QStringLiteral("XAUTHORITY"), QStringLiteral(".Xauthority")) << "not absolute";
    QTest::newRow("xauthority of another user") << with(QStringLiteral("XAUTHORITY"), QStringLiteral("/etc/passwd")) << "XAUTHORITY";
    QTest::newRow("xauthority a directory") << with(QStringLiteral("XAUTHORITY"), QStringLiteral("/tmp")) << "XAUTHORITY";
    QTest::newRow("xauthority missing") << with(QStringLiteral("XAUTHORITY"), QStringLiteral("/no/such/xauth")) << "XAUTHORITY";
    QTest::newRow("paths missing") << with(QStringLiteral("paths"), QVariant()) << "\"paths\"";
    QTest::newRow("relative path") << with(QStringLiteral("paths"), QStringList {QStringLiteral("bin")}) << "not absolute";
    QTest::newRow("line break in a path") << with(QStringLiteral("paths"), QStringList {QStringLiteral("/tmp/a\n/usr")}) << "U+000a";
    QTest::newRow("carriage return in a path") << with(QStringLiteral("paths"), QStringList {QStringLiteral("/tmp/a\r/usr")}) << "U+000d";
    QTest::newRow("tab in a file") << with(QStringLiteral("files"), QStringList {QStringLiteral("/tmp/a\tb")}) << "U+0009";
    QTest::newRow("line separator in a path") << with(QStringLiteral("paths"), QStringList {QStringLiteral("/tmp/a") + QChar(0x2028) + QStringLiteral("/usr")})
                                              << "U+2028";
    QTest::newRow("paragraph separator in a file") << with(QStringLiteral("files"), QStringList {QStringLiteral("/tmp/a") + QChar(0x2029)}) << "U+2029";
    QTest::newRow("DEL in a file") << with(QStringLiteral("files"), QStringList {QStringLiteral("/tmp/a\x7f")}) << "U+007f";
}

void HelperActionsTest::signingRefusesBadRequests()
{
    QFETCH(QVariantMap, arguments);
    QFETCH(QString, expectedError);
    const QMap<QString, QByteArray> before = snapshot(m_root->path());
    int records = 0;
    // No file belongs to this caller.
    const int stranger = int(getuid()) + 1;
    const HelperResult result = SigningRun::run(
        environment(), arguments, stranger, [&records](const QVariantMap &) { ++records; }, [] { return false; });
    QVERIFY(!result.isSuccess());
    QVERIFY2(result.error().contains(expectedError), qPrintable(result.error()));
    QCOMPARE(records, 0);
    QCOMPARE(snapshot(m_root->path()), before);
}

void HelperActionsTest::signingReportsMissingLinkedAndSpecialFiles()
{
    const QString link = m_root->path() + QStringLiteral("/link");
    QFile::link(QStringLiteral("/bin/true"), link);
    const QString file = m_root->path() + QStringLiteral("/file");
    writeFile(file, "x");
    const QString real = m_root->path() + QStringLiteral("/real");
    writeFile(real + QStringLiteral("/inside"), "x");
    QFile::link(real, m_root->path() + QStringLiteral("/linkdir"));
    const QString belowLink = m_root->path() + QStringLiteral("/linkdir/inside");
    const QString fifo = m_root->path() + QStringLiteral("/fifo");
    QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString xauthority = m_root->path() + QStringLiteral("/xauth");
    writeFile(xauthority, "cookie");
    const QStringList files {m_root->path() + QStringLiteral("/missing"), link, QStringLiteral("/dev/null"), belowLink, fifo,
        QStringLiteral("/proc/self/status"), QStringLiteral("/sys/kernel/notes"), file};
    const QVariantMap arguments {{QStringLiteral("signing_process"), QString()}, {QStringLiteral("files"), files},
        {QStringLiteral("key_id"), QStringLiteral("0123456789ABCDEF0123456789ABCDEF01234567")}, {QStringLiteral("mode"), 0},
        {QStringLiteral("DISPLAY"), QStringLiteral(":0.1")}, {QStringLiteral("XAUTHORITY"), xauthority}};
    QList<QVariantMap> records;
    const HelperResult result = SigningRun::run(
        environment(), arguments, int(getuid()), [&records](const QVariantMap &record) { records.append(record); }, [] { return false; });
    QVERIFY2(result.isSuccess(), qPrintable(result.error()));
    QVariantList codes;
    for (const QVariantMap &record : qAsConst(records)) {
        codes.append(record.value(QStringLiteral("file_finished")).toMap().value(files.at(codes.size())));
    }
    // Missing, then refused without a read: links, special files, pseudo files; "bsign" is
    // /bin/true here, so the last file counts as signed.
    QCOMPARE(codes, (QVariantList {2, 22, 22, 22, 22, 22, 22, 0}));
}

void HelperActionsTest::signingRunsInParallelEachFileOnceAndStops()
{
    // Several bsign run at once, each file once, the first file alone.
    QStringList files;
    for (int i = 0; i < 24; ++i) {
        files.append(m_root->path() + QStringLiteral("/file-%1").arg(i));
        writeFile(files.last(), "x");
    }
    const QString calls = m_root->path() + QStringLiteral("/calls");
    const QString countingBsign = m_root->path() + QStringLiteral("/counting-bsign");
    writeFile(countingBsign,
        "#!/bin/sh\nfor last; do :; done\necho \"start $last\" >>" + QFile::encodeName(calls) + "\nsleep 0.05\necho \"end $last\" >>" + QFile::encodeName(calls)
            + "\n",
        QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    QVariantMap arguments {{QStringLiteral("signing_process"), QString()}, {QStringLiteral("files"), files},
        {QStringLiteral("key_id"), QStringLiteral("0123456789ABCDEF0123456789ABCDEF01234567")}, {QStringLiteral("mode"), 0},
        {QStringLiteral("DISPLAY"), QString()}, {QStringLiteral("XAUTHORITY"), QString()}};
    QStringList recorded;
    const HelperResult result = SigningRun::run(
        HelperEnvironment(m_root->path(), countingBsign, environment().updateProgram()), arguments, int(getuid()),
        [&recorded](const QVariantMap &record) { recorded.append(record.value(QStringLiteral("file_finished")).toMap().firstKey()); }, [] { return false; });
    QVERIFY2(result.isSuccess(), qPrintable(result.error()));
    recorded.sort();
    QStringList expected = files;
    expected.sort();
    QCOMPARE(recorded, expected);
    const QList<QByteArray> lines = readFile(calls).trimmed().split('\n');
    QCOMPARE(lines.size(), 2 * files.size());
    QCOMPARE(lines.mid(0, 2), (QList<QByteArray> {"start " + QFile::encodeName(files.first()), "end " + QFile::encodeName(files.first())}));

    // A stop while bsign runs kills it and everything it started.
    const QString slowBsign = m_root->path() + QStringLiteral("/slow-bsign");
    const QString pidFile = m_root->path() + QStringLiteral("/child.pid");
    writeFile(slowBsign, "#!/bin/sh\nsleep 60 &\necho $! >\"$0.tmp\"; mv \"$0.tmp\" " + QFile::encodeName(pidFile) + "\nwait\n",
        QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const HelperEnvironment slow(m_root->path(), slowBsign, environment().updateProgram());
    int records = 0;
    const HelperResult stopped = SigningRun::run(
        slow, arguments, int(getuid()), [&records](const QVariantMap &) { ++records; }, [&pidFile] { return QFile::exists(pidFile); });
    QVERIFY(!stopped.isSuccess());
    QCOMPARE(records, 0);
    const QByteArray sleeper = readFile(pidFile).trimmed();
    QTRY_VERIFY_WITH_TIMEOUT(!readFile(QStringLiteral("/proc/") + QString::fromLatin1(sleeper) + QStringLiteral("/stat")).contains(" S "), 5000);
}

void HelperActionsTest::overdueOrMissingBsignIsRecorded()
{
    // A bsign over its time is killed with what it started and recorded as timed out.
    SigningPool pool(
        2, 200,
        [](const QString &) {
            auto sleeper = std::make_unique<BoundedProcess>();
            return sleeper->start(QStringLiteral("/bin/sleep"), {QStringLiteral("30")}) ? std::move(sleeper) : nullptr;
        },
        [](const QString &, BoundedProcess *, bool timedOut) { QVERIFY(timedOut); }, [] { return false; });
    QElapsedTimer clock;
    clock.start();
    QVERIFY(pool.run({QStringLiteral("one"), QStringLiteral("two")}));
    QVERIFY(clock.elapsed() < 10000);

    // A bsign that cannot start is a process error of that file.
    const QString file = m_root->path() + QStringLiteral("/file");
    writeFile(file, "x");
    QList<QVariantMap> records;
    const QVariantMap arguments {{QStringLiteral("signing_process"), QString()}, {QStringLiteral("files"), QStringList {file}},
        {QStringLiteral("key_id"), QStringLiteral("0123456789ABCDEF0123456789ABCDEF01234567")}, {QStringLiteral("mode"), 0},
        {QStringLiteral("DISPLAY"), QString()}, {QStringLiteral("XAUTHORITY"), QString()}};
    SigningRun::run(
        HelperEnvironment(m_root->path(), m_root->path() + QStringLiteral("/no-bsign"), environment().updateProgram()), arguments, int(getuid()),
        [&records](const QVariantMap &record) { records.append(record); }, [] { return false; });
    QCOMPARE(records, (QList<QVariantMap> {{{QStringLiteral("file_error_occured"), QVariantMap {{file, int(QProcess::FailedToStart)}}}}}));
}

void HelperActionsTest::templatesAddDirectoriesAndFilesOnce()
{
    const QString dir = m_root->path() + QStringLiteral("/apps");
    const QString file = m_root->path() + QStringLiteral("/tool");
    QDir().mkpath(dir);
    writeFile(file, "x");
    const QString link = m_root->path() + QStringLiteral("/link");
    QFile::link(file, link);
    const QString current = QStringLiteral("# templates\n") + dir + QStringLiteral("/");
    const QString updated = SigningRun::withTemplates(current, {dir, file, file, link, m_root->path() + QStringLiteral("/missing")});
    QCOMPARE(updated, current + QStringLiteral("\n/") + file + QStringLiteral("\n"));
}

void HelperActionsTest::exportRefusesBadArguments_data()
{
    QTest::addColumn<QVariant>("key");
    QTest::addColumn<QString>("target");
    const QString key = QStringLiteral("0123456789ABCDEF0123456789ABCDEF01234567");
    QTest::newRow("outside key dirs") << QVariant(key) << "/etc/digsig/k.gpg";
    QTest::newRow("dot dot") << QVariant(key) << "/etc/digsig/xattr_keys/../k.gpg";
    QTest::newRow("subdirectory") << QVariant(key) << "/etc/digsig/xattr_keys/sub/k.gpg";
    QTest::newRow("not gpg") << QVariant(key) << "/etc/digsig/keys/k.txt";
    QTest::newRow("only suffix") << QVariant(key) << "/etc/digsig/keys/.gpg";
    QTest::newRow("link") << QVariant(key) << "/etc/digsig/keys/link.gpg";
    QTest::newRow("key not hex") << QVariant(QStringLiteral("alice@example.org")) << "/etc/digsig/keys/k.gpg";
    QTest::newRow("key not text") << QVariant(42) << "/etc/digsig/keys/k.gpg";
}

void HelperActionsTest::exportRefusesBadArguments()
{
    QFETCH(QVariant, key);
    QFETCH(QString, target);
    QDir().mkpath(path(QStringLiteral("/etc/digsig/keys")));
    QFile::link(path(QStringLiteral("/etc/hostname")), path(QStringLiteral("/etc/digsig/keys/link.gpg")));
    const QMap<QString, QByteArray> before = snapshot(m_root->path());
    const HelperResult result = KeyActions::exportKey(environment(), key, path(target));
    QVERIFY(!result.isSuccess());
    QVERIFY(!result.error().isEmpty());
    QCOMPARE(snapshot(m_root->path()), before);
    QVERIFY(!QFile::exists(path(QStringLiteral("/etc/hostname"))));
}

void HelperActionsTest::logAppendsUnderHeader()
{
    const QDateTime now(QDate(2024, 5, 6), QTime(7, 8, 9), Qt::UTC);
    QVERIFY(SigningLog::append(environment(), QStringList {QStringLiteral("one"), QStringLiteral("two")}, 1000, now).isSuccess());
    QVERIFY(SigningLog::append(environment(), QStringList {QStringLiteral("three")}, 1001, now).isSuccess());
    QCOMPARE(readFile(environment().logPath()),
        QByteArray("=== 2024-05-06T07:08:09Z uid 1000 ===\n    one\n    two\n"
                   "=== 2024-05-06T07:08:09Z uid 1001 ===\n    three\n"));
}

void HelperActionsTest::logCannotBeForged()
{
    const QString forged = QStringLiteral("ok\n=== 2024-01-01T00:00:00Z uid 0 ===\r\x1b[2Jend\\n") + QChar(0x2028) + QStringLiteral("x");
    QVERIFY(SigningLog::append(environment(), QStringList {forged}, 1000, QDateTime::currentDateTimeUtc()).isSuccess());
    const QList<QByteArray> lines = readFile(environment().logPath()).split('\n');
    QCOMPARE(lines.size(), 3); // header, one line, the empty rest after the last line break
    QCOMPARE(lines.at(1), QByteArray("    ok\\n=== 2024-01-01T00:00:00Z uid 0 ===\\r\\u001b[2Jend\\\\n\\u2028x"));
}

void HelperActionsTest::logRefusesBadInput_data()
{
    QTest::addColumn<QVariant>("lines");
    QTest::newRow("missing") << QVariant();
    QTest::newRow("text") << QVariant(QStringLiteral("line"));
    QTest::newRow("list of numbers") << QVariant(QVariantList {1, 2});
    QTest::newRow("too many lines") << QVariant(QStringList(QVector<QString>(SigningLog::MaxLines + 1, QStringLiteral("x")).toList()));
    QTest::newRow("too large") << QVariant(QStringList(QVector<QString>(20, QString(1024 * 1024, QLatin1Char('x'))).toList()));
}

void HelperActionsTest::logRefusesBadInput()
{
    QFETCH(QVariant, lines);
    QVERIFY(!SigningLog::append(environment(), lines, 1000, QDateTime::currentDateTime()).isSuccess());
    QVERIFY(!QFile::exists(environment().logPath()));

    // A link in place of the log is never followed.
    QFile::link(path(QStringLiteral("/etc/target")), environment().logPath());
    QVERIFY(!SigningLog::append(environment(), QStringList {QStringLiteral("x")}, 1000, QDateTime::currentDateTime()).isSuccess());
    QVERIFY(!QFile::exists(path(QStringLiteral("/etc/target"))));
}

QTEST_GUILESS_MAIN(HelperActionsTest)

#include "helperactionstest.moc"

// The helpers' actions against scratch roots, bad inputs refused unwritten, the bsign stand-in.

#include "bootlistupdater.h"
#include "boundedprocess.h"
#include "helperenvironment.h"
#include "keyactions.h"
#include "scratchfiles.h"
#include "settingswriter.h"
#include "signinglog.h"
#include "signingpool.h"
#include "signingrun.h"
#include "treelister.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <functional>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {
const QString Fingerprint = "0123456789ABCDEF0123456789ABCDEF01234567"_s;
const auto Executable = QFileDevice::ReadOwner | QFileDevice::ExeOwner;

QVariantHash goodSettings()
{
    return {{"DIGSIG_ELF_MODE"_s, 1}, {"DIGSIG_XATTR_MODE"_s, 2}, {"DIGSIG_IGNORE_XATTR_KEYS"_s, 0}, {"DIGSIG_IGNORE_GOST2001"_s, 1},
        {"DIGSIG_XATTR_CONTROL"_s, "/opt/app/\n//usr/bin/tool\n"_s}, {"DIGSIG_ELF_VERIFICATION_MODE"_s, 4}};
}

QVariantMap signingRequest(const QStringList &files, int mode = 0)
{
    return {{"signing_process"_s, QString()}, {"files"_s, files}, {"key_id"_s, Fingerprint}, {"mode"_s, mode}, {"DISPLAY"_s, QString()},
        {"XAUTHORITY"_s, QString()}, {"paths"_s, QStringList {"/bin"_s}}};
}

// A copy of the map with the key set to the value, or removed for an invalid value.
template<typename Map>
QVariant with(Map map, const QString &key, const QVariant &value)
{
    map.remove(key);
    if (value.isValid()) {
        map.insert(key, value);
    }
    return QVariant(map);
}
}

class PlatformTest : public QObject
{
    Q_OBJECT
    QScopedPointer<QTemporaryDir> m_root;

    HelperEnvironment environment(const QString &bsign = "/bin/true"_s) const { return HelperEnvironment(m_root->path(), bsign, m_root->path() + "/update"_s); }
    QString path(const QString &absolute) const { return environment().underRoot(absolute); }
    // The records of a signing run, by default by the owner of the files; its result goes to m_result.
    QList<QVariantMap> sign(const HelperEnvironment &environment, const QVariantMap &request, int uid = int(getuid()), std::function<bool()> stop = {})
    {
        QList<QVariantMap> records;
        // The key list of these scratch roots offers Fingerprint alone.
        const auto offered = [](const QString &key, QString *problem) { return key == Fingerprint ? key : (*problem = "not offered"_s, QString()); };
        m_result = SigningRun::run(
            environment, request, uid, [&records](const QVariantMap &record) { records.append(record); }, stop ? stop : [] { return false; }, offered);
        return records;
    }
    HelperResult m_result = HelperResult::success();

private Q_SLOTS:
    void init()
    {
        m_root.reset(new QTemporaryDir);
        QVERIFY(QDir().mkpath(path("/etc/digsig"_s)) && QDir().mkpath(path("/var/log"_s)));
    }

    void refusesBadInput_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QVariant>("argument");
        QTest::addColumn<QString>("error");
        const auto row = [](const char *tag, const char *action, const QVariant &argument, const char *error) {
            QTest::newRow(tag) << QString::fromLatin1(action) << argument << QString::fromLatin1(error);
        };
        const auto settings = [](const char *key, const QVariant &value) { return with(goodSettings(), QLatin1String(key), value); };
        const auto signing = [](const char *key, const QVariant &value) { return with(signingRequest({"/bin/true"_s}, 1), QLatin1String(key), value); };
        row("change: not a map", "change", "DIGSIG_ELF_MODE=1"_s, "map");
        row("change: elf mode missing", "change", settings("DIGSIG_ELF_MODE", {}), "DIGSIG_ELF_MODE is missing");
        row("change: templates missing", "change", settings("DIGSIG_XATTR_CONTROL", {}), "DIGSIG_XATTR_CONTROL is missing");
        row("change: mode as text", "change", settings("DIGSIG_ELF_MODE", "1"_s), "must be an integer");
        row("change: elf mode 3", "change", settings("DIGSIG_ELF_MODE", 3), "outside 0 to 2");
        row("change: xattr mode -1", "change", settings("DIGSIG_XATTR_MODE", -1), "outside 0 to 2");
        row("change: key flag 2", "change", settings("DIGSIG_IGNORE_XATTR_KEYS", 2), "outside 0 to 1");
        row("change: gost flag -1", "change", settings("DIGSIG_IGNORE_GOST2001", -1), "outside 0 to 1");
        row("change: verification 5", "change", settings("DIGSIG_ELF_VERIFICATION_MODE", 5), "outside -1 to 4");
        row("change: verification -2", "change", settings("DIGSIG_ELF_VERIFICATION_MODE", -2), "outside -1 to 4");
        row("change: templates as list", "change", settings("DIGSIG_XATTR_CONTROL", QStringList {"/a/"_s}), "must be a text");
        row("change: templates with NUL", "change", settings("DIGSIG_XATTR_CONTROL", QString("/a/"_s + QChar(0) + "/b/"_s)), "NUL");
        row("change: templates too large", "change", settings("DIGSIG_XATTR_CONTROL", QString(SettingsWriter::MaxTemplateBytes + 1, QLatin1Char('a'))),
            "larger");
        row("change: unknown key", "change", settings("DIGSIG_FOO", 1), "Unknown setting DIGSIG_FOO");
        row("list: relative", "list", "tree"_s, "not absolute");
        row("list: dot dot", "list", "/tmp/../etc"_s, "normalised");
        row("list: empty", "list", QString(), "empty");
        row("list: NUL", "list", QString("/etc"_s + QChar(0) + "x"_s), "NUL");
        row("list: not text", "list", 42, "must be a text");
        row("list: too long", "list", QString(QLatin1Char('/') + QString(5000, QLatin1Char('a'))), "longer");
        row("list: a file", "list", "/etc/hostname"_s, "not a directory");
        row("list: proc", "list", "/proc/sys"_s, "pseudo file system");
        row("sign: files missing", "sign", signing("files", {}), "\"files\"");
        row("sign: relative file", "sign", signing("files", QStringList {"bin/true"_s}), "not absolute");
        row("sign: too many files", "sign", signing("files", QStringList(QVector<QString>(SigningRun::MaxFiles + 1, "/bin/true"_s).toList())), "Too many");
        row("sign: key missing", "sign", signing("key_id", {}), "key_id");
        row("sign: long key id", "sign", signing("key_id", "0123456789ABCDEF"_s), "not a whole fingerprint");
        row("sign: fingerprint and line break", "sign", signing("key_id", QString(Fingerprint + QLatin1Char('\n'))), "not a whole fingerprint");
        row("sign: mode 3", "sign", signing("mode", 3), "\"mode\"");
        row("sign: display missing", "sign", signing("DISPLAY", {}), "DISPLAY");
        row("sign: display and line break", "sign", signing("DISPLAY", ":0\n"_s), "DISPLAY");
        row("sign: remote display", "sign", signing("DISPLAY", "evil.example.org:0"_s), "DISPLAY");
        row("sign: another user's xauthority", "sign", signing("XAUTHORITY", "/etc/passwd"_s), "XAUTHORITY");
        row("sign: xauthority a directory", "sign", signing("XAUTHORITY", "/tmp"_s), "XAUTHORITY");
        row("sign: paths not a list", "sign", signing("paths", 42), "\"paths\"");
        row("sign: key not offered", "sign", signing("key_id", QString(Fingerprint).replace(QLatin1Char('0'), QLatin1Char('F'))), "not offered");
        row("sign: line break in a path", "sign", signing("paths", QStringList {"/tmp/a\n/usr"_s}), "U+000a");
        row("sign: line separator in a file", "sign", signing("files", QStringList {"/tmp/a"_s + QChar(0x2028)}), "U+2028");
        row("sign: paragraph separator in a path", "sign", signing("paths", QStringList {"/tmp/a"_s + QChar(0x2029)}), "U+2029");
        const QString exportPath = "/etc/digsig/xattr_keys/"_s + Fingerprint + ".gpg"_s;
        row("export: into the vendor folder", "export", QVariantList {Fingerprint, QString("/etc/digsig/keys/"_s + Fingerprint + ".gpg"_s)},
            "only exported as");
        row("export: under another name", "export", QVariantList {Fingerprint, "/etc/digsig/xattr_keys/k.gpg"_s}, "only exported as");
        row("export: link in its place", "export", QVariantList {Fingerprint, exportPath}, "link");
        row("export: key not hex", "export", QVariantList {"alice@example.org"_s, "/etc/digsig/xattr_keys/k.gpg"_s}, "not a whole fingerprint");
        row("log: missing", "log", QVariant(), "list of texts");
        row("log: too many lines", "log", QStringList(QVector<QString>(SigningLog::MaxLines + 1, "x"_s).toList()), "Too many");
        row("log: too large", "log", QStringList(QVector<QString>(17, QString(1024 * 1024, QLatin1Char('x'))).toList()), "larger");
    }
    void refusesBadInput()
    {
        QFETCH(QString, action);
        QFETCH(QVariant, argument);
        QFETCH(QString, error);
        QDir().mkpath(path("/etc/digsig/xattr_keys"_s));
        QFile::link(path("/etc/hostname"_s), path("/etc/digsig/xattr_keys/"_s + Fingerprint + ".gpg"_s));
        const QMap<QString, QByteArray> before = Scratch::snapshot(m_root->path());
        // A check of an ELF file or a signing record reads as success; no file belongs to the signing caller.
        const QHash<QString, std::function<HelperResult()>> actions {{"change"_s, [&] { return SettingsWriter::change(environment(), argument); }},
            {"list"_s, [&] { return TreeLister::checkElf(argument).isSuccess() ? HelperResult::success() : TreeLister::listDirectory(argument); }},
            {"sign"_s, [&] { return sign(environment(), argument.toMap(), int(getuid()) + 1).isEmpty() ? m_result : HelperResult::success(); }},
            {"export"_s, [&] { return KeyActions::exportKey(environment(), argument.toList().at(0), path(argument.toList().at(1).toString())); }},
            {"log"_s, [&] { return SigningLog::append(environment(), argument, 1000, QDateTime::currentDateTime()); }}};
        const HelperResult result = actions.value(action)();
        QVERIFY2(!result.isSuccess() && result.error().contains(error), qPrintable(result.error()));
        QCOMPARE(Scratch::snapshot(m_root->path()), before);
    }

    void changeWritesBothFilesKeepingOtherLines()
    {
        // The modes are set, not left to the umask.
        const auto restoreUmask = qScopeGuard([mask = umask(077)] { umask(mask); });
        Scratch::write(environment().initramfsConfPath(), "# control\nDIGSIG_ELF_MODE=0\n\nDIGSIG_FOO=7\nDIGSIG_XATTR_MODE = 1\n  # note\nDIGSIG_ELF_MODE=2\n");
        QVERIFY(SettingsWriter::change(environment(), goodSettings()).isSuccess());
        QCOMPARE(Scratch::read(environment().initramfsConfPath()),
            QByteArray("# control\nDIGSIG_ELF_MODE=1\n\nDIGSIG_FOO=7\n#DIGSIG_XATTR_MODE = 1\n  # note\nDIGSIG_ELF_MODE=1\nDIGSIG_XATTR_MODE=2\n"
                       "DIGSIG_IGNORE_XATTR_KEYS=0\nDIGSIG_IGNORE_GOST2001=1\nDIGSIG_ELF_VERIFICATION_MODE=4\n"));
        QCOMPARE(Scratch::read(environment().xattrControlPath()), QByteArray("/opt/app/\n//usr/bin/tool\n"));
        for (const QString &file : {environment().initramfsConfPath(), environment().xattrControlPath()}) {
            QCOMPARE(QFileInfo(file).permissions() & 0x0777, QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ReadGroup | QFileDevice::ReadOther);
        }
        // -1 keeps the verification mode as it is.
        QVERIFY(SettingsWriter::change(environment(), with(goodSettings(), "DIGSIG_ELF_VERIFICATION_MODE"_s, -1)).isSuccess());
        QVERIFY(Scratch::read(environment().initramfsConfPath()).endsWith("DIGSIG_IGNORE_GOST2001=1\nDIGSIG_ELF_VERIFICATION_MODE=4\n"));
    }

    void updateFailsWithItsErrors()
    {
        Scratch::write(environment().updateProgram(), "#!/bin/sh\necho 'W: careful'\necho 'E: no space left' >&2\nexit 1\n", Executable);
        QCOMPARE(BootListUpdater::update(environment(), [](const QVariantMap &) {}).error(), "no space left"_s);
        // What an update leaves running keeps the next one out: updates never overlap.
        const QByteArray pidFile = QFile::encodeName(m_root->filePath("straggler.pid"_s));
        Scratch::write(environment().updateProgram(), "#!/bin/sh\nsleep 30 >/dev/null 2>&1 &\necho $! >" + pidFile + "\n", Executable);
        QVERIFY(BootListUpdater::update(environment(), [](const QVariantMap &) {}).isSuccess());
        QVERIFY(BootListUpdater::update(environment(), [](const QVariantMap &) {}).error().contains("still running"_s));
        QCOMPARE(kill(pid_t(Scratch::read(m_root->filePath("straggler.pid"_s)).trimmed().toInt()), SIGKILL), 0);
        QFile::remove(environment().updateProgram());
        QVERIFY(BootListUpdater::update(environment(), [](const QVariantMap &) {}).error().startsWith("Can not start"_s));
    }

    void listsTreesAndTellsElfFiles()
    {
        const QByteArray elf = QByteArray::fromHex("7f454c4602");
        const QMap<QString, QByteArray> files {{"program"_s, elf}, {"unit.o"_s, elf}, {"script.sh"_s, "#!/bin/sh\n"}, {"short"_s, elf.left(3)},
            {"near"_s,
                "\x7f"
                "elf\x02"}};
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            Scratch::write(m_root->filePath(it.key()), it.value(), QFileDevice::ReadOwner);
            QVERIFY2(TreeLister::checkElf(m_root->filePath(it.key())).isSuccess() == (it.key() == QLatin1String("program")), qPrintable(it.key()));
        }
        const QString tree = m_root->filePath("tree"_s);
        for (const QString &file : {"/a"_s, "/.hidden"_s, "/sub/deep/b"_s}) {
            Scratch::write(tree + file);
        }
        QFile::link(tree + "/a"_s, tree + "/link"_s);
        QFile::link(tree + "/sub"_s, tree + "/dirlink"_s);
        const QVariantMap listed {
            {tree + "/a"_s, true}, {tree + "/.hidden"_s, true}, {tree + "/sub/deep/b"_s, true}, {tree + "/link"_s, false}, {tree + "/dirlink"_s, false}};
        QCOMPARE(TreeLister::listDirectory(tree).data(), listed);
        QVERIFY(TreeLister::listDirectory(QString(tree + "/dirlink"_s)).error().contains("symbolic link"_s));
        // A nest deeper than the bound ends the walk.
        QVERIFY(QDir().mkpath(tree + "/sub"_s + "/d"_s.repeated(TreeLister::MaxDepth + 1)));
        QVERIFY(TreeLister::listDirectory(tree).error().contains("too many files"_s));
        // So does a tree of more entries than the bound; one at the bound is listed.
        const QString big = m_root->filePath("big"_s);
        QVERIFY(QDir().mkpath(big));
        for (int i = 0; i <= TreeLister::MaxEntries; ++i) {
            QFile(big + "/f"_s + QString::number(i)).open(QIODevice::WriteOnly);
        }
        QVERIFY(TreeLister::listDirectory(big).error().contains("too many files"_s));
        QVERIFY(QFile::remove(big + "/f0"_s));
        QCOMPARE(TreeLister::listDirectory(big).data().size(), TreeLister::MaxEntries);
    }

    // The vendor's "*.gpg" files are imported one by one, links passed over; each failure is
    // named, a large one gpg stops reading early included (SIGPIPE ignored, as in the helper).
    void vendorKeysImportNamesEachFailure()
    {
        signal(SIGPIPE, SIG_IGN);
        const QString keys = environment().vendorKeysDir();
        QVERIFY(Scratch::write(keys + "/a.gpg"_s, "no key\n") && Scratch::write(keys + "/notes.txt"_s, "no key\n"));
        QVERIFY(
            Scratch::write(keys + "/b.gpg"_s, "-----BEGIN PGP PUBLIC KEY BLOCK-----\n\nmQ\n-----END PGP PUBLIC KEY BLOCK-----\n" + QByteArray(200000, 'x')));
        QFile::link(keys + "/a.gpg"_s, keys + "/link.gpg"_s);
        const HelperResult result = KeyActions::importVendorKeys(environment());
        QCOMPARE(result.error().split(QLatin1Char('\n')).replaceInStrings(QRegularExpression("\\.gpg\\. .*"_s), ".gpg"_s),
            (QStringList {keys + "/a.gpg"_s, keys + "/b.gpg"_s}));
        QDir(keys).removeRecursively();
        QVERIFY(KeyActions::importVendorKeys(environment()).isSuccess());
    }

    void signingRefusesLinkedAndSpecialFiles()
    {
        const QString file = m_root->filePath("file"_s);
        Scratch::write(file, "x");
        Scratch::write(m_root->filePath("real/inside"_s), "x");
        QFile::link(m_root->filePath("real"_s), m_root->filePath("linkdir"_s));
        QFile::link("/bin/true"_s, m_root->filePath("link"_s));
        QCOMPARE(mkfifo(QFile::encodeName(m_root->filePath("fifo"_s)).constData(), 0600), 0);
        Scratch::write(m_root->filePath("xauth"_s), "cookie");
        Scratch::write(m_root->filePath("shared"_s), "x", QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::WriteGroup);
        Scratch::write(m_root->filePath("open/file"_s), "x");
        QCOMPARE(chmod(QFile::encodeName(m_root->filePath("open"_s)).constData(), 0777), 0);
        const QStringList files {m_root->filePath("missing"_s), m_root->filePath("link"_s), "/dev/null"_s, m_root->filePath("linkdir/inside"_s),
            m_root->filePath("fifo"_s), "/proc/self/status"_s, "/sys/kernel/notes"_s, m_root->filePath("shared"_s), m_root->filePath("open/file"_s), file};
        QVariantMap request = signingRequest(files);
        request.insert("DISPLAY"_s, ":0.1"_s);
        request.insert("XAUTHORITY"_s, m_root->filePath("xauth"_s));
        QVariantList codes;
        for (const QVariantMap &record : sign(environment(), request)) {
            codes.append(record.value("file_finished"_s).toMap().value(files.at(codes.size())));
        }
        // Missing, then refused unread, then changeable by others; "bsign" is /bin/true here, so the last one is signed.
        QCOMPARE(codes, (QVariantList {2, 22, 22, 22, 22, 22, 22, 71, 71, 0}));
        // Signing in the modes with extended attributes runs on the real chain; here the templates
        // it adds: folders and files each once, no links, nothing missing, never "/"; lines that
        // are no UTF-8 stay as they are.
        const QByteArray current = "# templates \xff\n" + QFile::encodeName(m_root->filePath("real/"_s));
        QCOMPARE(SigningRun::withTemplates(current, {m_root->filePath("real"_s), file, file, m_root->filePath("link"_s), m_root->filePath("missing"_s), "/"_s}),
            QByteArray(current + "\n/" + QFile::encodeName(file) + "\n"));
    }

    void signingRunsEachFileOnceFirstAloneAndStops()
    {
        QStringList files;
        for (int i = 0; i < 24; ++i) {
            files.append(m_root->filePath("file-%1"_s.arg(i)));
            Scratch::write(files.last(), "x");
        }
        const QByteArray calls = QFile::encodeName(m_root->filePath("calls"_s));
        Scratch::write(m_root->filePath("bsign"_s),
            "#!/bin/sh\nfor f; do :; done\necho \"start $f\" >>" + calls + "\nsleep 0.05\necho \"end $f\" >>" + calls + "\n", Executable);
        QStringList recorded;
        for (const QVariantMap &record : sign(environment(m_root->filePath("bsign"_s)), signingRequest(files))) {
            recorded.append(record.value("file_finished"_s).toMap().firstKey());
        }
        recorded.sort();
        files.sort();
        QCOMPARE(recorded, files);
        const QList<QByteArray> lines = Scratch::read(m_root->filePath("calls"_s)).trimmed().split('\n');
        QCOMPARE(lines.size(), 2 * files.size());
        QVERIFY(lines.at(0).startsWith("start ") && lines.at(1) == "end " + lines.at(0).mid(6));
        // A stop while bsign runs kills it and everything it started.
        const QString pidFile = m_root->filePath("child.pid"_s);
        Scratch::write(
            m_root->filePath("slow"_s), "#!/bin/sh\nsleep 60 &\necho $! >\"$0.tmp\"; mv \"$0.tmp\" " + QFile::encodeName(pidFile) + "\nwait\n", Executable);
        QVERIFY(sign(environment(m_root->filePath("slow"_s)), signingRequest(files), int(getuid()), [&pidFile] { return QFile::exists(pidFile); }).isEmpty());
        QVERIFY(!m_result.isSuccess());
        const QString sleeper = "/proc/"_s + QString::fromLatin1(Scratch::read(pidFile).trimmed()) + "/stat"_s;
        QTRY_VERIFY_WITH_TIMEOUT(!Scratch::read(sleeper).contains(" S "), 5000);
    }

    void overdueOrMissingBsignIsRecorded()
    {
        QStringList timedOut;
        SigningPool pool(
            2, 200,
            [](const QString &) {
                auto sleeper = std::make_unique<BoundedProcess>();
                return sleeper->start("/bin/sleep"_s, {"30"_s}) ? std::move(sleeper) : nullptr;
            },
            [&timedOut](const QString &file, BoundedProcess *, bool overdue) { timedOut.append(overdue ? file : QString()); }, [] { return false; });
        QVERIFY(pool.run({"one"_s, "two"_s}));
        timedOut.sort();
        QCOMPARE(timedOut, (QStringList {"one"_s, "two"_s}));
        const QString file = m_root->filePath("file"_s);
        Scratch::write(file, "x");
        QCOMPARE(sign(environment(m_root->filePath("no-bsign"_s)), signingRequest({file})),
            (QList<QVariantMap> {{{"file_error_occured"_s, QVariantMap {{file, int(QProcess::FailedToStart)}}}}}));
    }

    void logAppendsEscapedLinesUnderHeaders()
    {
        const QDateTime now(QDate(2024, 5, 6), QTime(7, 8, 9), Qt::UTC);
        const QString forged = "ok\n=== 2024-01-01T00:00:00Z uid 0 ===\r\x1b[2Jend\\n"_s + QChar(0x2028) + "x"_s + QChar(0x2029) + QChar(0x9b) + QChar(0x202e);
        QVERIFY(SigningLog::append(environment(), QStringList {"one"_s, "two"_s}, 1000, now).isSuccess());
        QVERIFY(SigningLog::append(environment(), QStringList {forged}, 1001, now).isSuccess());
        QCOMPARE(Scratch::read(environment().logPath()),
            QByteArray("=== 2024-05-06T07:08:09Z uid 1000 ===\n    one\n    two\n=== 2024-05-06T07:08:09Z uid 1001 ===\n"
                       "    ok\\n=== 2024-01-01T00:00:00Z uid 0 ===\\r\\u001b[2Jend\\\\n\\u2028x\\u2029\\u009b\\u202e\n"));
        // A link in place of the log is never followed.
        QFile::remove(environment().logPath());
        QFile::link(path("/etc/target"_s), environment().logPath());
        QVERIFY(!SigningLog::append(environment(), QStringList {"x"_s}, 1000, now).isSuccess());
        QVERIFY(!QFile::exists(path("/etc/target"_s)));
        // A full log moves aside, replacing the one before, and starts afresh.
        QFile::remove(environment().logPath());
        for (int uid = 1000; uid < 1003; ++uid) {
            QVERIFY(SigningLog::append(environment(), QStringList {QString(12 * 1024 * 1024, QLatin1Char('x'))}, uid, now).isSuccess());
        }
        QVERIFY(Scratch::read(environment().logPath()).startsWith("=== 2024-05-06T07:08:09Z uid 1002 ===\n"));
        QCOMPARE(Scratch::read(environment().logPath() + ".1"_s).count("==="), 4);
    }

    // The bsign stand-in opens what it checks or signs through one descriptor, never through a link.
    void bsignStandInRefusesWhatItMayNotOpen()
    {
        const auto bsign = [this](const QStringList &arguments, const QString &pkexecUid = QString()) {
            QProcess process;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert("GNUPGHOME"_s, m_root->path()); // never root's key ring
            environment.insert("PKEXEC_UID"_s, pkexecUid);
            if (pkexecUid.isEmpty()) {
                environment.remove("PKEXEC_UID"_s);
            }
            process.setProcessEnvironment(environment);
            process.start(QStringLiteral(BSIGN_PROGRAM), arguments);
            return process.waitForFinished(10000) ? process.exitCode() : -1;
        };
        Scratch::write(m_root->filePath("real/program"_s), Scratch::read("/usr/bin/true"_s));
        Scratch::write(m_root->filePath("notes.txt"_s),
            "\x7f"
            "elf text");
        QVERIFY(QFile::link(m_root->filePath("real"_s), m_root->filePath("link"_s)));
        QCOMPARE(bsign({"-w"_s, m_root->filePath("real/program"_s)}), 65);
        QCOMPARE(bsign({"-w"_s, m_root->filePath("missing"_s)}), 2);
        QCOMPARE(bsign({"-w"_s, m_root->path()}), 21);
        QCOMPARE(bsign({"-w"_s, m_root->filePath("link/program"_s)}), 22);
        QCOMPARE(bsign({"--sign"_s, "--kind"_s, "both"_s, "--key"_s, Fingerprint, m_root->filePath("link/program"_s)}), 22);
        QCOMPARE(bsign({"--sign"_s, "--kind"_s, "elf"_s, "--key"_s, Fingerprint, m_root->filePath("notes.txt"_s)}), 68);
        // Started by pkexec, it only checks.
        QCOMPARE(bsign({"--sign"_s, "--kind"_s, "xattr"_s, "--key"_s, Fingerprint, m_root->filePath("notes.txt"_s)}, "1000"_s), 1);
        // Only a bad signature in the extended attribute makes the check fail as bad.
        QCOMPARE(setxattr(QFile::encodeName(m_root->filePath("notes.txt"_s)).constData(), "security.bsign-standin.xattr", "x", 1, 0), 0);
        QCOMPARE(bsign({"-w"_s, m_root->filePath("notes.txt"_s)}), 67);
    }

    // A writer killed at any moment leaves each file whole: the old content or a complete new one.
    void killedWriterLeavesWholeFiles_data()
    {
        QTest::addColumn<int>("delay");
        for (int round = 0; round < 8; ++round) {
            QTest::addRow("round %d", round) << QRandomGenerator::global()->bounded(1, 40);
        }
    }
    void killedWriterLeavesWholeFiles()
    {
        QFETCH(int, delay);
        const HelperEnvironment environment(m_root->path(), "/bin/true"_s, "/bin/true"_s);
        QVERIFY(Scratch::write(environment.xattrControlPath(), "/old/\n"));
        QProcess writer;
        writer.start(QCoreApplication::applicationFilePath(), {"--write-settings"_s, m_root->path()});
        QVERIFY(writer.waitForReadyRead(10000));
        QTest::qSleep(delay);
        writer.kill();
        QVERIFY(writer.waitForFinished(5000));
        const QByteArray content = Scratch::read(environment.xattrControlPath());
        QVERIFY2(content == "/old/\n" || content == QByteArray(SettingsWriter::MaxTemplateBytes, 'a')
                || content == QByteArray(SettingsWriter::MaxTemplateBytes, 'b'),
            qPrintable("%1 bytes, starting with %2"_s.arg(content.size()).arg(QString::fromLatin1(content.left(8)))));
        QVERIFY(Scratch::read(environment.initramfsConfPath()).endsWith("DIGSIG_ELF_VERIFICATION_MODE=4\n"));
        // Never replaced in place. A kill between naming the unnamed temporary file and renaming
        // it over the target may leave that sibling behind; nothing else may appear.
        const QStringList entries = QDir(environment.digsigDir()).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(entries.filter(QRegularExpression("^(digsig_initramfs\\.conf|xattr_control)(\\..+)?$"_s)), entries);
    }
};

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    if (argc != 3 || qstrcmp(argv[1], "--write-settings") != 0) {
        PlatformTest test;
        return QTest::qExec(&test, argc, argv);
    }
    // "platformtest --write-settings <root>" writes large templates over and over until killed.
    const HelperEnvironment environment(QString::fromLocal8Bit(argv[2]), "/bin/true"_s, "/bin/true"_s);
    for (int round = 0;; ++round) {
        QVariantHash settings = goodSettings();
        settings.insert("DIGSIG_XATTR_CONTROL"_s, QString(SettingsWriter::MaxTemplateBytes, QLatin1Char(round % 2 ? 'b' : 'a')));
        if (!SettingsWriter::change(environment, settings).isSuccess()) {
            return 1;
        }
        fputs("writing\n", stdout);
        fflush(stdout);
    }
}

#include "platformtest.moc"

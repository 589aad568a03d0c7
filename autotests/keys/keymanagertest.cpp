#include "keymanager.h"

#include "fakehelperbackend.h"
#include "messagecatcher.h"
#include "stallprobe.h"
#include "standinprogram.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTest>

#include <cerrno>
#include <csignal>

namespace {
const QString KeysListAction = QStringLiteral("ru.orlis.kcm.digsig.keyslist");
const QString ExportAction = QStringLiteral("ru.orlis.kcm.digsig.exportkey");
const QString AccessAction = QStringLiteral("ru.orlis.kcm.securitysettings.access");
const QString Keywright = QStringLiteral("/usr/lib/kauth/libexec/keywright");
const QString Genkey = QStringLiteral("--genkey");
const QString MissingKeysText = QStringLiteral("Parameters map does not contains required keys");

using Parameters = QMap<QString, QString>;

// The key manager's signals as they arrive, each as its name and its arguments.
class SignalRecorder
{
public:
    explicit SignalRecorder(KeyManager *manager)
    {
        QObject::connect(manager, &KeyManager::keyGenerationStarted, [this] { m_signals.append({QStringLiteral("keyGenerationStarted")}); });
        QObject::connect(manager, &KeyManager::keyGenerationEnded, [this](const QString &fingerprint) {
            m_signals.append({QStringLiteral("keyGenerationEnded"), fingerprint});
        });
        QObject::connect(manager, &KeyManager::keyGenerationError, [this](const QString &error) {
            m_signals.append({QStringLiteral("keyGenerationError"), error});
        });
        QObject::connect(manager, &KeyManager::keyGenerationStillRunning, [this] { m_signals.append({QStringLiteral("keyGenerationStillRunning")}); });
        QObject::connect(manager, &KeyManager::keyExported, [this](const QString &keyID, const QString &path) {
            m_signals.append({QStringLiteral("keyExported"), keyID, path});
        });
        QObject::connect(manager, &KeyManager::keyExportError, [this](const QString &keyID, const QString &path, const QString &error) {
            m_signals.append({QStringLiteral("keyExportError"), keyID, path, error});
        });
    }

    QList<QStringList> signalList() const { return m_signals; }

    QStringList names() const
    {
        QStringList names;
        for (const QStringList &signal : m_signals) {
            names.append(signal.first());
        }
        return names;
    }

private:
    QList<QStringList> m_signals;
};

QStringList keyRows(const QList<KeyInfo> &keys)
{
    QStringList rows;
    for (const KeyInfo &key : keys) {
        rows.append(key.userId() + QLatin1Char('=') + key.fingerPrint());
    }
    return rows;
}

bool processExists(pid_t pid)
{
    return ::kill(pid, 0) == 0 || errno != ESRCH;
}
}

class KeyManagerTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();
    void keyInfoKeepsBothFields();
    void keyList_data();
    void keyList();
    void failedKeyListIsEmptyAndLogged();
    void exportSucceeds();
    void exportFails();
    void importReturnsAtOnce();
    void importFailureIsOnlyWarned();
    void importSuccessIsSilent();
    void refusedAccessEmitsNothing();
    void keyGeneration_data();
    void keyGeneration();
    void missingProgramIsAnError();
    void slowProgramIsAwaitedWithoutStall();
    void crashedProgramIsAnError();
};

void KeyManagerTest::cleanup()
{
    KeyManager::setProgramForTesting(QString());
    KeyManager::setWaitForTesting(-1);
}

void KeyManagerTest::keyInfoKeepsBothFields()
{
    const KeyInfo key(QStringLiteral("Admin <admin@example.org>"), QStringLiteral("AB12"));
    const KeyInfo copy = key;
    QCOMPARE(copy.userId(), QStringLiteral("Admin <admin@example.org>"));
    QCOMPARE(copy.fingerPrint(), QStringLiteral("AB12"));
}

void KeyManagerTest::keyList_data()
{
    QTest::addColumn<QVariantMap>("reply");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("no keys") << QVariantMap() << QStringList();
    QTest::newRow("one key") << QVariantMap {{QStringLiteral("Admin"), QStringLiteral("F1")}} << QStringList {QStringLiteral("Admin=F1")};
    QTest::newRow("sorted by user id, lower case after upper case")
        << QVariantMap {{QStringLiteral("zelmark"), QStringLiteral("F3")}, {QStringLiteral("Zeta"), QStringLiteral("F2")},
               {QStringLiteral("Alpha"), QStringLiteral("F1")}, {QStringLiteral("(no user id)"), QStringLiteral("F0")}}
        << QStringList {QStringLiteral("(no user id)=F0"), QStringLiteral("Alpha=F1"), QStringLiteral("Zeta=F2"), QStringLiteral("zelmark=F3")};
    QTest::newRow("Cyrillic user id") << QVariantMap {{QStringLiteral("Иван"), QStringLiteral("F9")}, {QStringLiteral("Anna"), QStringLiteral("F8")}}
                                      << QStringList {QStringLiteral("Anna=F8"), QStringLiteral("Иван=F9")};
}

void KeyManagerTest::keyList()
{
    QFETCH(QVariantMap, reply);
    QFETCH(QStringList, expected);

    FakeHelperBackend backend;
    HelperScript script;
    script.reply = reply;
    backend.script(KeysListAction, script);

    const KeyManager manager;
    QCOMPARE(keyRows(manager.keys()), expected);
    QCOMPARE(backend.callNames(), QStringList {KeysListAction});
    QCOMPARE(backend.calls().first().helperId, QStringLiteral("ru.orlis.kcm.digsig"));
    QVERIFY(backend.calls().first().arguments.isEmpty());
}

void KeyManagerTest::failedKeyListIsEmptyAndLogged()
{
    FakeHelperBackend backend;
    HelperScript script;
    script.error = 4;
    script.errorText = QStringLiteral("helper is gone");
    script.reply = {{QStringLiteral("Admin"), QStringLiteral("F1")}};
    backend.script(KeysListAction, script);

    MessageCatcher catcher;
    const KeyManager manager;
    QVERIFY(manager.keys().isEmpty());
    QVERIFY(catcher.debugLines().contains(QStringLiteral("helper is gone")));
}

void KeyManagerTest::exportSucceeds()
{
    FakeHelperBackend backend;
    KeyManager manager;
    SignalRecorder recorder(&manager);

    manager.exportKey(QStringLiteral("ABCD"), QStringLiteral("/tmp/out/ABCD.gpg"));

    QCOMPARE(recorder.signalList(), (QList<QStringList> {{QStringLiteral("keyExported"), QStringLiteral("ABCD"), QStringLiteral("/tmp/out/ABCD.gpg")}}));
    QCOMPARE(backend.callNames(), QStringList {ExportAction});
    const FakeHelperBackend::Call call = backend.calls().first();
    QCOMPARE(call.helperId, QStringLiteral("ru.orlis.kcm.digsig"));
    QCOMPARE(call.arguments, (QVariantMap {{QStringLiteral("key"), QStringLiteral("ABCD")}, {QStringLiteral("path"), QStringLiteral("/tmp/out/ABCD.gpg")}}));
}

void KeyManagerTest::exportFails()
{
    FakeHelperBackend backend;
    HelperScript script;
    script.error = 7;
    script.errorText = QStringLiteral("no such key");
    backend.script(ExportAction, script);
    KeyManager manager;
    SignalRecorder recorder(&manager);
    MessageCatcher catcher;

    manager.exportKey(QStringLiteral("ABCD"), QStringLiteral("/tmp/out/ABCD.gpg"));

    QCOMPARE(recorder.signalList(),
        (QList<QStringList> {{QStringLiteral("keyExportError"), QStringLiteral("ABCD"), QStringLiteral("/tmp/out/ABCD.gpg"), QStringLiteral("no such key")}}));
    QVERIFY(catcher.debugLines().contains(QStringLiteral("export key error: no such key")));
}

void KeyManagerTest::importReturnsAtOnce()
{
    FakeHelperBackend backend;
    KeyManager manager;
    SignalRecorder recorder(&manager);

    manager.importZelmarkKeys();

    QCOMPARE(backend.callNames(), QStringList {KeysListAction});
    const FakeHelperBackend::Call call = backend.calls().first();
    QCOMPARE(call.helperId, QStringLiteral("ru.orlis.kcm.digsig"));
    QCOMPARE(call.arguments.keys(), QStringList {QStringLiteral("import_zelmark_keys")});
    QVERIFY(!call.arguments.value(QStringLiteral("import_zelmark_keys")).isValid());
    QPointer<FakeHelperJob> job = backend.jobs().first();
    QVERIFY(job);
    QSignalSpy finished(job.data(), &KJob::finished);
    QCOMPARE(finished.count(), 0);
    // The job ends on its own later and cleans up after itself.
    QTRY_VERIFY(!job);
    QCOMPARE(finished.count(), 1);
    QVERIFY(recorder.signalList().isEmpty());
}

void KeyManagerTest::importFailureIsOnlyWarned()
{
    FakeHelperBackend backend;
    HelperScript script;
    script.error = 3;
    script.errorText = QStringLiteral("keys not found");
    backend.script(KeysListAction, script);
    KeyManager manager;
    SignalRecorder recorder(&manager);
    MessageCatcher catcher;

    manager.importZelmarkKeys();
    QPointer<FakeHelperJob> job = backend.jobs().first();
    QTRY_VERIFY(!job);

    QCOMPARE(catcher.warningLines(), QStringList {QStringLiteral("import zelmark keys error: keys not found")});
    QVERIFY(recorder.signalList().isEmpty());
}

void KeyManagerTest::importSuccessIsSilent()
{
    FakeHelperBackend backend;
    KeyManager manager;
    MessageCatcher catcher;

    manager.importZelmarkKeys();
    QPointer<FakeHelperJob> job = backend.jobs().first();
    QTRY_VERIFY(!job);

    QVERIFY(catcher.warningLines().isEmpty());
}

void KeyManagerTest::refusedAccessEmitsNothing()
{
    FakeHelperBackend backend;
    HelperScript refused;
    refused.error = 1;
    refused.errorText = QStringLiteral("authentication cancelled");
    backend.script(AccessAction, refused);
    StandInProgram program("printf F00D");
    KeyManager::setProgramForTesting(program.path());
    KeyManager manager;
    SignalRecorder recorder(&manager);
    MessageCatcher catcher;

    manager.keyGeneration({{QStringLiteral("Name-Real"), QStringLiteral("Administrator")}});

    QVERIFY(recorder.signalList().isEmpty());
    QVERIFY(!program.wasRun());
    QCOMPARE(backend.callNames(), QStringList {AccessAction});
    QCOMPARE(backend.calls().first().helperId, QStringLiteral("ru.orlis.kcm.securitysettings"));
    QVERIFY(catcher.debugLines().contains(QStringLiteral("authentication cancelled")));
}

void KeyManagerTest::keyGeneration_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<Parameters>("parameters");
    QTest::addColumn<QStringList>("expectedArguments"); // after keywright and --genkey; empty: not run
    QTest::addColumn<QList<QStringList>>("expectedSignals");

    const QStringList started {QStringLiteral("keyGenerationStarted")};
    const auto ended = [](const QString &fingerprint) { return QStringList {QStringLiteral("keyGenerationEnded"), fingerprint}; };
    const auto failed = [](const QString &error) { return QStringList {QStringLiteral("keyGenerationError"), error}; };
    // Answers like keywright: its error text for an empty name, else a fingerprint.
    const QByteArray keywrightLike = "if [ -z \"$3\" ]; then printf 'Parameters map does not contains required keys'; exit 1; fi\nprintf 0123456789ABCDEF";
    const Parameters all {{QStringLiteral("Name-Real"), QStringLiteral("Administrator")}, {QStringLiteral("Name-Email"), QStringLiteral("admin@example.org")},
        {QStringLiteral("Name-Comment"), QStringLiteral("signing")}};

    QTest::newRow("all three values, email before comment")
        << keywrightLike << all << QStringList {QStringLiteral("Administrator"), QStringLiteral("admin@example.org"), QStringLiteral("signing")}
        << QList<QStringList> {started, ended(QStringLiteral("0123456789ABCDEF"))};
    QTest::newRow("empty comment is still the fifth argument")
        << keywrightLike
        << Parameters {{QStringLiteral("Name-Real"), QStringLiteral("Administrator")}, {QStringLiteral("Name-Email"), QStringLiteral("admin@example.org")},
               {QStringLiteral("Name-Comment"), QString()}}
        << QStringList {QStringLiteral("Administrator"), QStringLiteral("admin@example.org"), QString()}
        << QList<QStringList> {started, ended(QStringLiteral("0123456789ABCDEF"))};
    QTest::newRow("only Name-Email runs with an empty name")
        << keywrightLike << Parameters {{QStringLiteral("Name-Email"), QStringLiteral("admin@example.org")}}
        << QStringList {QString(), QStringLiteral("admin@example.org"), QString()} << QList<QStringList> {started, failed(MissingKeysText)};
    QTest::newRow("only Name-Comment is enough to go on")
        << keywrightLike << Parameters {{QStringLiteral("Name-Comment"), QStringLiteral("c")}} << QStringList {QString(), QString(), QStringLiteral("c")}
        << QList<QStringList> {started, failed(MissingKeysText)};
    QTest::newRow("none of the keys") << keywrightLike << Parameters {{QStringLiteral("Name"), QStringLiteral("Administrator")}} << QStringList()
                                      << QList<QStringList> {failed(MissingKeysText)};
    QTest::newRow("empty map") << keywrightLike << Parameters() << QStringList() << QList<QStringList> {failed(MissingKeysText)};
    QTest::newRow("fingerprint with a line feed") << QByteArray(
        "printf 'ABCDEF\\n'") << all << QStringList {QStringLiteral("Administrator"), QStringLiteral("admin@example.org"), QStringLiteral("signing")}
                                                  << QList<QStringList> {started, ended(QStringLiteral("ABCDEF"))};
    QTest::newRow("fingerprint cut at a NUL byte") << QByteArray(
        "printf 'ABC\\000DEF'") << all << QStringList {QStringLiteral("Administrator"), QStringLiteral("admin@example.org"), QStringLiteral("signing")}
                                                   << QList<QStringList> {started, ended(QStringLiteral("ABC"))};
    QTest::newRow("non-zero exit gives standard output, not standard error")
        << QByteArray("printf 'GPG Agent Bad passphrase'; printf 'noise' >&2; exit 1") << all
        << QStringList {QStringLiteral("Administrator"), QStringLiteral("admin@example.org"), QStringLiteral("signing")}
        << QList<QStringList> {started, failed(QStringLiteral("GPG Agent Bad passphrase"))};
    QTest::newRow("exit 0 without a fingerprint") << QByteArray(
        "printf '\\n'") << all << QStringList {QStringLiteral("Administrator"), QStringLiteral("admin@example.org"), QStringLiteral("signing")}
                                                  << QList<QStringList> {
                                                         started, failed(QStringLiteral("The key was generated but no fingerprint was reported"))};
    QTest::newRow("non-zero exit without text") << QByteArray("exit 127") << all
                                                << QStringList {QStringLiteral("Administrator"), QStringLiteral("admin@example.org"), QStringLiteral("signing")}
                                                << QList<QStringList> {started, failed(QString())};
    QTest::newRow("Cyrillic values pass unchanged") << keywrightLike
                                                    << Parameters {{QStringLiteral("Name-Real"), QStringLiteral("Иван Петров")},
                                                           {QStringLiteral("Name-Email"), QStringLiteral("иван@пример.рф")},
                                                           {QStringLiteral("Name-Comment"), QStringLiteral("-- ключ")}}
                                                    << QStringList {QStringLiteral("Иван Петров"), QStringLiteral("иван@пример.рф"), QStringLiteral("-- ключ")}
                                                    << QList<QStringList> {started, ended(QStringLiteral("0123456789ABCDEF"))};
}

void KeyManagerTest::keyGeneration()
{
    QFETCH(QByteArray, body);
    QFETCH(Parameters, parameters);
    QFETCH(QStringList, expectedArguments);
    QFETCH(QList<QStringList>, expectedSignals);

    FakeHelperBackend backend;
    StandInProgram program(body);
    KeyManager::setProgramForTesting(program.path());
    KeyManager manager;
    SignalRecorder recorder(&manager);

    manager.keyGeneration(parameters);
    QTRY_VERIFY(!manager.isKeyGenerationRunning());

    QCOMPARE(recorder.signalList(), expectedSignals);
    QCOMPARE(backend.callNames(), QStringList {AccessAction});
    if (expectedArguments.isEmpty()) {
        QVERIFY(!program.wasRun());
    } else {
        QCOMPARE(program.arguments(), QStringList({Keywright, Genkey}) + expectedArguments);
    }
}

void KeyManagerTest::missingProgramIsAnError()
{
    FakeHelperBackend backend;
    StandInProgram program;
    KeyManager::setProgramForTesting(program.missingPath());
    KeyManager manager;
    SignalRecorder recorder(&manager);

    manager.keyGeneration({{QStringLiteral("Name-Real"), QStringLiteral("Administrator")}});
    QTRY_VERIFY(!manager.isKeyGenerationRunning());

    QCOMPARE(recorder.names(), (QStringList {QStringLiteral("keyGenerationStarted"), QStringLiteral("keyGenerationError")}));
    QVERIFY(recorder.signalList().last().at(1).startsWith(QStringLiteral("The key generation program could not be started")));
}

// Under the real pkexec keywright runs as root and the module may not signal it: a program
// that ignores SIGTERM and answers late is awaited, with the loop running, and its answer used.
void KeyManagerTest::slowProgramIsAwaitedWithoutStall()
{
    FakeHelperBackend backend;
    StandInProgram program("trap '' TERM\necho $$ > \"$STANDIN_DIR/pid\"\nwhile [ ! -e \"$STANDIN_DIR/answer\" ]; do sleep 0.02; done\nprintf F00D");
    KeyManager::setProgramForTesting(program.path());
    KeyManager::setWaitForTesting(300);
    KeyManager manager;
    SignalRecorder recorder(&manager);
    StallProbe probe;

    manager.keyGeneration({{QStringLiteral("Name-Real"), QStringLiteral("Administrator")}});
    QTRY_COMPARE(recorder.names(), (QStringList {QStringLiteral("keyGenerationStarted"), QStringLiteral("keyGenerationStillRunning")}));
    QFile pidFile(program.filePath(QStringLiteral("pid")));
    QVERIFY(pidFile.open(QIODevice::ReadOnly));
    const pid_t pid = pidFile.readAll().trimmed().toInt();
    QVERIFY(pid > 0);
    QCOMPARE(::kill(pid, SIGTERM), 0);
    QTest::qWait(100);
    QVERIFY(processExists(pid));
    QVERIFY(manager.isKeyGenerationRunning());

    QFile answer(program.filePath(QStringLiteral("answer")));
    QVERIFY(answer.open(QIODevice::WriteOnly));
    QTRY_VERIFY(!manager.isKeyGenerationRunning());
    QCOMPARE(recorder.signalList().last(), (QStringList {QStringLiteral("keyGenerationEnded"), QStringLiteral("F00D")}));
    QCOMPARE(recorder.signalList().size(), 3);
    QVERIFY2(probe.longestStallMs() < 100, qPrintable(QString::number(probe.longestStallMs())));
}

void KeyManagerTest::crashedProgramIsAnError()
{
    FakeHelperBackend backend;
    StandInProgram program("printf ABCD\nkill -9 $$");
    KeyManager::setProgramForTesting(program.path());
    KeyManager manager;
    SignalRecorder recorder(&manager);

    manager.keyGeneration({{QStringLiteral("Name-Real"), QStringLiteral("Administrator")}});
    QTRY_VERIFY(!manager.isKeyGenerationRunning());

    QCOMPARE(recorder.signalList(),
        (QList<QStringList> {
            {QStringLiteral("keyGenerationStarted")}, {QStringLiteral("keyGenerationError"), QStringLiteral("The key generation program ended abnormally.")}}));
}

QTEST_GUILESS_MAIN(KeyManagerTest)

#include "keymanagertest.moc"

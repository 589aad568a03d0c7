#include "fakehelperbackend.h"
#include "helperbackend.h"
#include "helpercall.h"
#include "helperjob.h"

#include <QSignalSpy>
#include <QTest>

class HelperCallTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void actionNameAndHelperId_data();
    void actionNameAndHelperId();
    void fakeBackendPlaysScriptInOrder();
    void fakeBackendKillEmitsResult();
    void kauthBackendFailsCleanlyWithoutHelper();
};

void HelperCallTest::actionNameAndHelperId_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("helperNamespace");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<QString>("expectedName");

    QTest::newRow("change") << "%1.change" << HelperCall::DigsigNamespace << 480000 << "ru.orlis.kcm.digsig.change";
    QTest::newRow("signing") << "%1.setupsigning" << HelperCall::DigsigNamespace << 2147483647 << "ru.orlis.kcm.digsig.setupsigning";
    QTest::newRow("access") << "%1.access" << HelperCall::SecuritySettingsNamespace << -1 << "ru.orlis.kcm.securitysettings.access";
}

void HelperCallTest::actionNameAndHelperId()
{
    QFETCH(QString, pattern);
    QFETCH(QString, helperNamespace);
    QFETCH(int, timeout);
    QFETCH(QString, expectedName);

    const KAuth::Action action = HelperCall::action(pattern, helperNamespace, timeout);
    QCOMPARE(action.name(), expectedName);
    QCOMPARE(action.helperId(), helperNamespace);
    QCOMPARE(action.timeout(), timeout);
}

void HelperCallTest::fakeBackendPlaysScriptInOrder()
{
    FakeHelperBackend backend;
    HelperScript script;
    script.progress = {{{QStringLiteral("step"), 1}}, {{QStringLiteral("step"), 2}}};
    script.reply = {{QStringLiteral("answer"), 42}};
    backend.script(QStringLiteral("ru.orlis.kcm.digsig.keyslist"), script);

    KAuth::Action action = HelperCall::action(QStringLiteral("%1.keyslist"), HelperCall::DigsigNamespace);
    action.addArgument(QStringLiteral("import_zelmark_keys"), QVariant());
    HelperJob *job = HelperCall::execute(action);
    QSignalSpy records(job, &HelperJob::newData);
    QSignalSpy finished(job, &KJob::finished);
    job->setAutoDelete(false);
    QVERIFY(job->exec());
    QCOMPARE(records.count(), 2);
    QCOMPARE(records.at(1).at(0).toMap().value(QStringLiteral("step")).toInt(), 2);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(job->data().value(QStringLiteral("answer")).toInt(), 42);
    delete job;

    QCOMPARE(backend.calls().size(), 1);
    QVERIFY(backend.calls().first().arguments.contains(QStringLiteral("import_zelmark_keys")));
}

void HelperCallTest::fakeBackendKillEmitsResult()
{
    FakeHelperBackend backend;
    HelperScript script;
    script.neverFinishes = true;
    backend.script(QStringLiteral("ru.orlis.kcm.digsig.setupsigning"), script);

    HelperJob *job = HelperCall::execute(HelperCall::action(QStringLiteral("%1.setupsigning"), HelperCall::DigsigNamespace));
    QSignalSpy finished(job, &KJob::finished);
    job->start();
    QTest::qWait(20);
    QCOMPARE(finished.count(), 0);
    QVERIFY(job->kill(KJob::EmitResult));
    QCOMPARE(finished.count(), 1);
}

// With no helper installed for this name the KAuth backend must still end the job
// with an error instead of leaving the caller waiting.
void HelperCallTest::kauthBackendFailsCleanlyWithoutHelper()
{
    HelperBackend::setCurrent(nullptr);
    KAuth::Action action = HelperCall::action(QStringLiteral("%1.nosuchaction"), QStringLiteral("org.example.digsig.test"), 5000);
    HelperJob *job = HelperCall::execute(action);
    job->setAutoDelete(false);
    QSignalSpy finished(job, &KJob::finished);
    job->start();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);
    QVERIFY(job->error() != 0);
    QVERIFY(job->data().isEmpty());
    delete job;
}

QTEST_GUILESS_MAIN(HelperCallTest)
#include "helpercalltest.moc"

// The privileged-call layer: action names, and what a long action tells about its helper
// while it runs. KAuth's own jobs are tested on the real chain by the system tests.
#include "helpercall.h"
#include "fakehelperbackend.h"
#include "helperactivity.h"

#include <QSignalSpy>
#include <QTest>

class HelperCallTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void actionNameHelperIdAndTimeout()
    {
        const KAuth::Action change = HelperCall::action(QStringLiteral("%1.change"), HelperCall::DigsigNamespace, 480000);
        QCOMPARE(change.name() + QLatin1Char(' ') + change.helperId(), QStringLiteral("ru.orlis.kcm.digsig.change ru.orlis.kcm.digsig"));
        QCOMPARE(change.timeout(), 480000);
        const KAuth::Action access = HelperCall::action(QStringLiteral("%1.access"), HelperCall::SecuritySettingsNamespace);
        QCOMPARE(access.name() + QLatin1Char(' ') + access.helperId(), QStringLiteral("ru.orlis.kcm.securitysettings.access ru.orlis.kcm.securitysettings"));
        QCOMPARE(access.timeout(), -1);
    }

    void longActionHoldsItsHelperUntilItEnds()
    {
        FakeHelperBackend backend;
        HelperScript endless;
        endless.neverFinishes = true;
        backend.script(QStringLiteral("ru.orlis.kcm.digsig.setupsigning"), endless);
        HelperActivity *activity = HelperActivity::instance();
        QSignalSpy changed(activity, &HelperActivity::changed);
        HelperJob *signing
            = HelperCall::executeLong(HelperCall::action(QStringLiteral("%1.setupsigning"), HelperCall::DigsigNamespace), QStringLiteral("Signing"));
        signing->start();
        QVERIFY(activity->isBusy(HelperCall::DigsigNamespace) && !activity->isBusy(HelperCall::SecuritySettingsNamespace));
        QCOMPARE(activity->description(HelperCall::DigsigNamespace), QStringLiteral("Signing"));
        // A call for the busy helper waits; one for the other helper does not.
        std::unique_ptr<HelperJob> waiting(HelperCall::execute(HelperCall::action(QStringLiteral("%1.keyslist"), HelperCall::DigsigNamespace)));
        std::unique_ptr<HelperJob> other(HelperCall::execute(HelperCall::action(QStringLiteral("%1.access"), HelperCall::SecuritySettingsNamespace)));
        QCOMPARE(activity->waitingCalls(HelperCall::DigsigNamespace) + 10 * activity->waitingCalls(HelperCall::SecuritySettingsNamespace), 1);
        QCOMPARE(changed.count(), 2);
        QVERIFY(signing->kill(KJob::EmitResult));
        const QString digsig = HelperCall::DigsigNamespace;
        QCOMPARE(
            QString::number(activity->isBusy(digsig)) + activity->description(digsig) + QString::number(activity->waitingCalls(digsig)), QStringLiteral("00"));
        QCOMPARE(changed.last().at(0).toString(), HelperCall::DigsigNamespace);
    }
};

QTEST_GUILESS_MAIN(HelperCallTest)
#include "helpercalltest.moc"

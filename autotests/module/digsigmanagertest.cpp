#include "digsigmanager.h"
#include "digsigsettingsdata.h"
#include "guimanager.h"
#include "modalanswerer.h"
#include "tempconfig.h"

#include <QTest>

class DigsigManagerTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void dataToChange_data();
    void dataToChange();
    void widgetById_data();
    void widgetById();

private:
    TempConfig *m_config = nullptr;
};

void DigsigManagerTest::init()
{
    m_config = new TempConfig;
    m_config->writeTemplates("/usr/local/bin/\n");
    DigSigSettingsData::setConfigurationDirectory(m_config->path());
}

void DigsigManagerTest::cleanup()
{
    delete m_config;
}

void DigsigManagerTest::dataToChange_data()
{
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<int>("answer"); // 0: no question expected
    QTest::addColumn<bool>("expectEmpty");
    QTest::addColumn<int>("expectedVerifyMode");

    QTest::newRow("off and debug ask nothing") << TempConfig::settings(0, 2, 3, 1, 0) << 0 << false << 3;
    QTest::newRow("elf on, declined") << TempConfig::settings(1, 0, 3) << int(QDialogButtonBox::No) << true << 0;
    QTest::newRow("xattr on, confirmed") << TempConfig::settings(0, 1, 3) << int(QDialogButtonBox::Yes) << false << 3;
    QTest::newRow("no valid verification mode is sent as -1") << TempConfig::settings(2, 2, 7) << 0 << false << -1;
}

void DigsigManagerTest::dataToChange()
{
    QFETCH(QByteArray, settings);
    QFETCH(int, answer);
    QFETCH(bool, expectEmpty);
    QFETCH(int, expectedVerifyMode);

    m_config->writeSettings(settings);
    Digsigmanager manager;
    ModalAnswerer answerer;
    if (answer) {
        answerer.press(QDialogButtonBox::StandardButton(answer));
    }
    const QVariantHash hash = manager.dataToChange();
    QCOMPARE(answerer.answeredCount(), answer ? 1 : 0);
    QCOMPARE(hash.isEmpty(), expectEmpty);
    if (expectEmpty) {
        return;
    }
    const QStringList keys = {QStringLiteral("DIGSIG_ELF_MODE"),
                              QStringLiteral("DIGSIG_XATTR_MODE"),
                              QStringLiteral("DIGSIG_IGNORE_XATTR_KEYS"),
                              QStringLiteral("DIGSIG_IGNORE_GOST2001"),
                              QStringLiteral("DIGSIG_XATTR_CONTROL"),
                              QStringLiteral("DIGSIG_ELF_VERIFICATION_MODE")};
    QCOMPARE(hash.size(), keys.size());
    for (const QString &key : keys) {
        QVERIFY2(hash.contains(key), qPrintable(key));
    }
    QCOMPARE(hash.value(QStringLiteral("DIGSIG_XATTR_CONTROL")).userType(), int(QMetaType::QString));
    QCOMPARE(hash.value(QStringLiteral("DIGSIG_ELF_MODE")).userType(), int(QMetaType::Int));
    QCOMPARE(hash.value(QStringLiteral("DIGSIG_ELF_VERIFICATION_MODE")).toInt(), expectedVerifyMode);
    QCOMPARE(hash.value(QStringLiteral("DIGSIG_XATTR_CONTROL")).toString(), QStringLiteral("/usr/local/bin/\n"));
}

void DigsigManagerTest::widgetById_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QByteArray>("expectedClass");

    QTest::newRow("control panel") << 0 << QByteArray("ControlPanelWidget");
    QTest::newRow("keys") << 1 << QByteArray("KeysWidget");
    QTest::newRow("signing") << 2 << QByteArray("SigningWidget");
    QTest::newRow("unknown") << 3 << QByteArray();
}

void DigsigManagerTest::widgetById()
{
    QFETCH(int, id);
    QFETCH(QByteArray, expectedClass);

    m_config->writeSettings(TempConfig::settings(0, 0, 0));
    Digsigmanager manager;
    QWidget *widget = manager.gui()->widgetById(GuiManager::WidgetId(id));
    QCOMPARE(widget ? QByteArray(widget->metaObject()->className()) : QByteArray(), expectedClass);
}

QTEST_MAIN(DigsigManagerTest)
#include "digsigmanagertest.moc"

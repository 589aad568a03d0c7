#include <KCModule>
#include <KPluginFactory>

#include <QJsonObject>
#include <QPluginLoader>
#include <QTest>

class PluginFactoryTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void metadataNamesTheFactory();
    void factoryCreatesTheModule();
    void factoryIsOnePerProcess();
};

void PluginFactoryTest::metadataNamesTheFactory()
{
    QPluginLoader loader(QStringLiteral(PLUGIN_FILE));
    const QJsonObject metaData = loader.metaData();
    QCOMPARE(metaData.value(QStringLiteral("IID")).toString(), QStringLiteral("org.kde.KPluginFactory"));
    QCOMPARE(metaData.value(QStringLiteral("className")).toString(), QStringLiteral("DigsigFactory"));
    QVERIFY(metaData.value(QStringLiteral("MetaData")).toObject().isEmpty());
}

void PluginFactoryTest::factoryCreatesTheModule()
{
    QPluginLoader loader(QStringLiteral(PLUGIN_FILE));
    auto factory = qobject_cast<KPluginFactory *>(loader.instance());
    QVERIFY2(factory, qPrintable(loader.errorString()));
    QVERIFY(factory->inherits("DigsigFactory"));
    QVERIFY(factory->qt_metacast("DigsigFactory"));
    QVERIFY(factory->qt_metacast("org.kde.KPluginFactory"));

    QWidget host;
    // The host's arguments: an empty name and an empty array.
    auto module = factory->create<KCModule>(&host, {QString(), QVariant()});
    QVERIFY(module);
    QCOMPARE(QByteArray(module->metaObject()->className()), QByteArrayLiteral("DigsigModule"));
    QCOMPARE(module->objectName(), QStringLiteral("DigsigModule"));
    QCOMPARE(module->parentWidget(), &host);
    QCOMPARE(module->size(), QSize(451, 446));
    QVERIFY(module->buttons() & KCModule::Apply);
}

void PluginFactoryTest::factoryIsOnePerProcess()
{
    QPluginLoader first(QStringLiteral(PLUGIN_FILE));
    QPluginLoader second(QStringLiteral(PLUGIN_FILE));
    QCOMPARE(first.instance(), second.instance());
}

QTEST_MAIN(PluginFactoryTest)
#include "pluginfactorytest.moc"

#include <KCModule>
#include <KConfigGroup>
#include <KDesktopFile>
#include <KPluginFactory>

#include <QCoreApplication>
#include <QDir>
#include <QPluginLoader>
#include <QTest>

// Loads the module from an unpacked installation (ORLIS_INSTALL_ROOT, set with the search
// paths by packageinstalltest.sh) the way the settings host does: the service file names
// the library, the first plugin folder holding it wins, and its factory builds the module.
class InstalledPluginTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void factoryOfTheRootCreatesTheModule()
    {
        const QString root = QDir(qEnvironmentVariable("ORLIS_INSTALL_ROOT")).canonicalPath();
        QVERIFY2(!qEnvironmentVariableIsEmpty("ORLIS_INSTALL_ROOT") && !root.isEmpty(), "no unpacked installation");
        const KDesktopFile service(root + QStringLiteral("/usr/share/kservices5/orlis_kcm_digsig.desktop"));
        QCOMPARE(service.desktopGroup().readEntry("X-KDE-ServiceTypes"), QStringLiteral("KCModule"));
        // Russian users see the module's name, description and search words in Russian.
        KDesktopFile russian(service.fileName());
        russian.setLocale(QStringLiteral("ru"));
        QCOMPARE(russian.desktopGroup().readEntry("Name"), QStringLiteral("Цифровая подпись"));
        QCOMPARE(russian.desktopGroup().readEntry("Comment"), QStringLiteral("Контроль подписи исполняемых файлов, подписывание и ключи подписи"));
        QVERIFY(russian.desktopGroup().readEntry("X-KDE-Keywords", QStringList()).contains(QStringLiteral("подпись")));
        QString plugin;
        for (const QString &dir : QCoreApplication::libraryPaths()) {
            const QFileInfo candidate(dir + QLatin1Char('/') + service.desktopGroup().readEntry("X-KDE-Library") + QStringLiteral(".so"));
            if (plugin.isEmpty() && candidate.exists()) {
                plugin = candidate.canonicalFilePath();
            }
        }
        QVERIFY2(plugin.startsWith(root + QLatin1Char('/')), qPrintable(plugin));

        QPluginLoader loader(plugin);
        auto factory = qobject_cast<KPluginFactory *>(loader.instance());
        QVERIFY2(factory, qPrintable(loader.errorString()));
        QWidget host;
        auto module = factory->create<KCModule>(&host, {QString(), QVariant()});
        QVERIFY(module);
        QCOMPARE(module->metaObject()->className(), "DigsigModule");
        QCOMPARE(module->parentWidget(), &host);
    }
};

QTEST_MAIN(InstalledPluginTest)
#include "installedplugintest.moc"

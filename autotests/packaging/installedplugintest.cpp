#include <KCModule>
#include <KConfigGroup>
#include <KDesktopFile>
#include <KPluginFactory>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPluginLoader>
#include <QTest>

// Checks an unpacked installation (ORLIS_INSTALL_ROOT) the way the settings host uses it:
// the service file names the library, the library is looked up on the plugin path and its
// factory builds the module. packageinstalltest.sh sets the root and the search paths.
class InstalledPluginTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void serviceFileEntries_data();
    void serviceFileEntries();
    void serviceFileIsTranslated();
    void pluginIsFoundInTheRootOnly();
    void factoryCreatesTheModule();
    void frameworkLibrariesComeFromTheRoot_data();
    void frameworkLibrariesComeFromTheRoot();

private:
    QString serviceFilePath() const;
    QString libraryName() const;
    QString findPlugin() const;

    QString m_root;
};

void InstalledPluginTest::initTestCase()
{
    m_root = QDir(qEnvironmentVariable("ORLIS_INSTALL_ROOT")).canonicalPath();
    if (qEnvironmentVariableIsEmpty("ORLIS_INSTALL_ROOT")) {
        QSKIP("ORLIS_INSTALL_ROOT names no unpacked installation; packageinstalltest.sh sets it");
    }
    QVERIFY2(!m_root.isEmpty(), "the installation root does not exist");
}

QString InstalledPluginTest::serviceFilePath() const
{
    return m_root + QStringLiteral("/usr/share/kservices5/orlis_kcm_digsig.desktop");
}

QString InstalledPluginTest::libraryName() const
{
    const KDesktopFile serviceFile(serviceFilePath());
    return serviceFile.desktopGroup().readEntry("X-KDE-Library");
}

// The host's lookup: the library name relative to every plugin folder, first match wins.
QString InstalledPluginTest::findPlugin() const
{
    const QStringList pluginDirs = QCoreApplication::libraryPaths();
    for (const QString &dir : pluginDirs) {
        const QFileInfo candidate(dir + QLatin1Char('/') + libraryName() + QStringLiteral(".so"));
        if (candidate.exists()) {
            return candidate.canonicalFilePath();
        }
    }
    return QString();
}

void InstalledPluginTest::serviceFileEntries_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");
    QTest::newRow("type") << QStringLiteral("Type") << QStringLiteral("Service");
    QTest::newRow("service type") << QStringLiteral("X-KDE-ServiceTypes") << QStringLiteral("KCModule");
    QTest::newRow("library") << QStringLiteral("X-KDE-Library") << QStringLiteral("orlis/orlis_kcm_digsig");
    QTest::newRow("parent app") << QStringLiteral("X-KDE-ParentApp") << QStringLiteral("kcontrol");
}

void InstalledPluginTest::serviceFileEntries()
{
    QFETCH(QString, key);
    QFETCH(QString, expected);
    QVERIFY2(QFile::exists(serviceFilePath()), qPrintable(serviceFilePath()));
    const KDesktopFile serviceFile(serviceFilePath());
    QCOMPARE(serviceFile.desktopGroup().readEntry(key), expected);
}

// System Settings shows Russian users the Russian name, description and search words.
void InstalledPluginTest::serviceFileIsTranslated()
{
    KDesktopFile serviceFile(serviceFilePath());
    serviceFile.setLocale(QStringLiteral("ru"));
    const KConfigGroup entry = serviceFile.desktopGroup();
    QCOMPARE(entry.readEntry("Name"), QStringLiteral("Цифровая подпись"));
    QCOMPARE(entry.readEntry("Comment"), QStringLiteral("Контроль подписи исполняемых файлов, подписывание и ключи подписи"));
    QVERIFY(entry.readEntry("X-KDE-Keywords", QStringList()).contains(QStringLiteral("подпись")));
}

void InstalledPluginTest::pluginIsFoundInTheRootOnly()
{
    const QString plugin = findPlugin();
    QVERIFY2(!plugin.isEmpty(), qPrintable(QCoreApplication::libraryPaths().join(QLatin1Char(':'))));
    QVERIFY2(plugin.startsWith(m_root + QLatin1Char('/')), qPrintable(plugin));
}

void InstalledPluginTest::factoryCreatesTheModule()
{
    QPluginLoader loader(findPlugin());
    auto factory = qobject_cast<KPluginFactory *>(loader.instance());
    QVERIFY2(factory, qPrintable(loader.errorString()));
    QVERIFY(factory->inherits("DigsigFactory"));

    QWidget host;
    auto module = factory->create<KCModule>(&host, {QString(), QVariant()});
    QVERIFY(module);
    QCOMPARE(QByteArray(module->metaObject()->className()), QByteArrayLiteral("DigsigModule"));
    QCOMPARE(module->parentWidget(), &host);
}

void InstalledPluginTest::frameworkLibrariesComeFromTheRoot_data()
{
    QTest::addColumn<QString>("library");
    QTest::newRow("libkcm-secpanel") << QStringLiteral("libkcm-secpanel.so.1");
    QTest::newRow("libkcm-orlis-settings") << QStringLiteral("libkcm-orlis-settings.so.1");
}

// The module's framework is the one in the stand-ins package, not some other copy.
void InstalledPluginTest::frameworkLibrariesComeFromTheRoot()
{
    QFETCH(QString, library);
    QPluginLoader loader(findPlugin());
    QVERIFY2(loader.load(), qPrintable(loader.errorString()));

    QFile maps(QStringLiteral("/proc/self/maps"));
    QVERIFY(maps.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromLocal8Bit(maps.readAll()).split(QLatin1Char('\n'));
    QStringList mappedFrom;
    for (const QString &line : lines) {
        const QString path = line.section(QLatin1Char(' '), -1);
        if (path.endsWith(QLatin1Char('/') + library) || path.contains(QLatin1Char('/') + library + QLatin1Char('.'))) {
            mappedFrom.append(QFileInfo(path).canonicalPath());
        }
    }
    mappedFrom.removeDuplicates();
    QCOMPARE(mappedFrom.size(), 1);
    QVERIFY2(mappedFrom.constFirst().startsWith(m_root + QLatin1Char('/')), qPrintable(mappedFrom.constFirst()));
}

QTEST_MAIN(InstalledPluginTest)
#include "installedplugintest.moc"

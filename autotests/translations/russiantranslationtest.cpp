#include "controlpanelwidget.h"
#include "digsigmodule.h"
#include "digsigsettingsdata.h"
#include "fakehelperbackend.h"
#include "tempconfig.h"

#include <KLocalizedString>

#include <QFileInfo>
#include <QLabel>
#include <QTabWidget>
#include <QTest>

// The module in Russian with the catalogs built from po/: the module's texts, the texts of
// its forms and the parser's texts each come from their own catalog.
class RussianTranslationTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void moduleShowsRussianTexts();
};

void RussianTranslationTest::moduleShowsRussianTexts()
{
    for (const char *domain : {"orlis_kcm_digsig", "orlis_kcm_digsig_helper"}) {
        const QString catalog = QStringLiteral(LOCALE_DIR "/ru/LC_MESSAGES/%1.mo").arg(QLatin1String(domain));
        QVERIFY2(QFileInfo::exists(catalog), qPrintable(catalog));
        KLocalizedString::addDomainLocaleDir(domain, QStringLiteral(LOCALE_DIR));
    }
    KLocalizedString::setLanguages({QStringLiteral("ru")});
    FakeHelperBackend quietHelper;
    TempConfig config;
    config.writeSettings(TempConfig::settings(7, 0, 2));
    DigSigSettingsData::setConfigurationDirectory(config.path());

    DigsigModule module(nullptr, {});
    module.show();
    QTRY_VERIFY_WITH_TIMEOUT(module.findChild<ControlPanelWidget *>(), 5000);
    QCOMPARE(module.findChild<QTabWidget *>()->tabText(1), QStringLiteral("Ключи"));
    QCOMPARE(module.findChild<QLabel *>(QStringLiteral("labelExeFiles"))->text(), QStringLiteral("Контроль исполняемых файлов"));

    DigSigSettingsData data;
    data.analysis();
    const QStringList expected {
        QStringLiteral("Недопустимое значение DIGSIG_ELF_MODE: «7»"), QStringLiteral("Не удалось открыть файл %1").arg(DigSigSettingsData::xattrControlPath())};
    QCOMPARE(data.errorMessages(), expected);
}

QTEST_MAIN(RussianTranslationTest)
#include "russiantranslationtest.moc"

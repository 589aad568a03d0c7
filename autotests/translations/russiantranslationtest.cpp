#include "controlpanelwidget.h"
#include "digsigmodule.h"
#include "signaturescan.h"
#include "digsigsettingsdata.h"
#include "fakehelperbackend.h"
#include "modalanswerer.h"
#include "tempconfig.h"

#include <kcmos/messagesmanager.h>

#include <KLocalizedString>
#include <KMessageWidget>

#include <QComboBox>
#include <QFileInfo>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QByteArray MainDomain = "orlis_kcm_digsig";
const QByteArray HelperDomain = "orlis_kcm_digsig_helper";

QString catalogPath(const QByteArray &domain)
{
    return QStringLiteral(LOCALE_DIR "/ru/LC_MESSAGES/%1.mo").arg(QString::fromLatin1(domain));
}

QStringList itemTexts(const QComboBox *box)
{
    QStringList texts;
    for (int i = 0; i < box->count(); ++i) {
        texts.append(box->itemText(i));
    }
    return texts;
}
}

// The module as a Russian-speaking administrator sees it, with the catalogs built from po/.
class RussianTranslationTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void tabTitles();
    void comboBoxItems_data();
    void comboBoxItems();
    void comboBoxToolTips_data();
    void comboBoxToolTips();
    void formTexts_data();
    void formTexts();
    void rebootQuestion();
    void enforcementWarning();
    void parserMessagesUseTheHelperCatalog();

private:
    template<typename T>
    T *child(const char *name) const
    {
        return m_module->findChild<T *>(QString::fromLatin1(name));
    }

    FakeHelperBackend m_quietHelper;
    TempConfig *m_config = nullptr;
    QTemporaryDir m_toolDir;
    DigsigModule *m_module = nullptr;
};

void RussianTranslationTest::initTestCase()
{
    // Without the catalogs every check below would compare English with Russian and fail
    // for the wrong reason; say so plainly instead.
    for (const QByteArray &domain : {MainDomain, HelperDomain}) {
        QVERIFY2(QFileInfo::exists(catalogPath(domain)), qPrintable(catalogPath(domain) + QStringLiteral(" was not built")));
        KLocalizedString::addDomainLocaleDir(domain, QStringLiteral(LOCALE_DIR));
    }
    KLocalizedString::setLanguages({QStringLiteral("ru")});
    // Every reboot question is answered "No"; should one slip through, nothing real starts.
    DigsigModule::setRebootToolForTesting(m_toolDir.filePath(QStringLiteral("no-such-tool")));
    SignatureScan::setRootForTesting(m_toolDir.filePath(QStringLiteral("root")));
}

void RussianTranslationTest::init()
{
    m_config = new TempConfig;
    m_config->writeSettings(TempConfig::settings(2, 0, 2));
    m_config->writeTemplates("/opt/demo/\n");
    DigSigSettingsData::setConfigurationDirectory(m_config->path());
    m_module = new DigsigModule(nullptr, {});
    m_module->show();
    QTRY_VERIFY(m_module->findChild<ControlPanelWidget *>());
}

void RussianTranslationTest::cleanup()
{
    delete m_module;
    m_module = nullptr;
    delete m_config;
    m_config = nullptr;
}

void RussianTranslationTest::tabTitles()
{
    auto tabs = m_module->findChild<QTabWidget *>();
    QVERIFY(tabs);
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->tabText(0), QStringLiteral("Подписание"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("Ключи"));
}

void RussianTranslationTest::comboBoxItems_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("executable files") << QByteArray("comboExeFiles");
    QTest::newRow("extended attributes") << QByteArray("comboAttrs");
}

void RussianTranslationTest::comboBoxItems()
{
    QFETCH(QByteArray, name);
    auto box = child<QComboBox>(name.constData());
    QVERIFY(box);
    const QStringList expected = {QStringLiteral("включено"), QStringLiteral("выключено"), QStringLiteral("отладка")};
    QCOMPARE(itemTexts(box), expected);
}

void RussianTranslationTest::comboBoxToolTips_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("expected");

    QTest::newRow("executable files on") << QByteArray("comboExeFiles") << 0 << QStringLiteral("Включить проверку исполняемых файлов");
    QTest::newRow("executable files debug") << QByteArray("comboExeFiles") << 2
                                            << QStringLiteral("Система будет выдавать предупреждения о неподписанных файлах");
    QTest::newRow("extended attributes off") << QByteArray("comboAttrs") << 1 << QStringLiteral("Выключить контроль расширенных атрибутов файлов");
}

void RussianTranslationTest::comboBoxToolTips()
{
    QFETCH(QByteArray, name);
    QFETCH(int, index);
    QFETCH(QString, expected);

    auto box = child<QComboBox>(name.constData());
    QVERIFY(box);
    box->setCurrentIndex(index);
    QCOMPARE(box->toolTip(), expected);
}

void RussianTranslationTest::formTexts_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("expected");

    // Texts of the designer forms, translated through ki18n_wrap_ui.
    QTest::newRow("label of the executable files control") << QByteArray("labelExeFiles") << QStringLiteral("Контроль исполняемых файлов");
    QTest::newRow("label of the extended attributes control") << QByteArray("labelAttrs") << QStringLiteral("Контроль расширенных атрибутов");
    QTest::newRow("show templates button") << QByteArray("xattrButton") << QStringLiteral("Показать");
    // The verification mode field shows the label of a choice in the mode dialog's form.
    QTest::newRow("verification mode") << QByteArray("lineEdit") << QStringLiteral("Проверка первой найденной у файла подписи");
}

void RussianTranslationTest::formTexts()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, expected);
    auto widget = child<QWidget>(name.constData());
    QVERIFY(widget);
    QCOMPARE(widget->property("text").toString(), expected);
}

void RussianTranslationTest::rebootQuestion()
{
    FakeHelperBackend helper;
    ModalAnswerer answerer;
    answerer.press(QDialogButtonBox::No);
    m_module->change();

    QCOMPARE(answerer.answeredCount(), 1);
    QCOMPARE(answerer.seenTitles(), QStringList {QStringLiteral("Перезагрузка системы")});
    QCOMPARE(answerer.seenTexts(), QStringList {QStringLiteral("Чтобы применить настройки, нужно перезагрузить систему.\nПерезагрузить сейчас?")});
    const auto shown = m_module->messagesManager()->messages();
    QVERIFY(!shown.isEmpty());
    QCOMPARE(shown.first()->text(), QStringLiteral("Изменения успешно применены"));
}

void RussianTranslationTest::enforcementWarning()
{
    FakeHelperBackend helper;
    child<QComboBox>("comboAttrs")->setCurrentIndex(0);
    ModalAnswerer answerer;
    answerer.press(QDialogButtonBox::No);
    m_module->change();

    QCOMPARE(answerer.seenTitles(), QStringList {QStringLiteral("Предупреждение")});
    QCOMPARE(answerer.seenTexts(),
        QStringList {QStringLiteral("После перезагрузки системы неподписанные файлы нельзя будет запустить.\n"
                                    "Рекомендуется сначала проверить систему в режиме отладки.\n"
                                    "Вы действительно хотите применить эти настройки?")});
    QVERIFY(helper.calls().isEmpty());
}

void RussianTranslationTest::parserMessagesUseTheHelperCatalog()
{
    m_config->writeSettings(TempConfig::settings(7, 0, 2));
    m_config->removeTemplates();
    DigSigSettingsData data;
    data.analysis();
    const QStringList expected = {
        QStringLiteral("Недопустимое значение DIGSIG_ELF_MODE: «7»"),
        QStringLiteral("Не удалось открыть файл %1").arg(DigSigSettingsData::xattrControlPath()),
    };
    QCOMPARE(data.errorMessages(), expected);
}

QTEST_MAIN(RussianTranslationTest)
#include "russiantranslationtest.moc"

#include "digsigsettingsdata.h"
#include "tempconfig.h"

#include <QDir>
#include <QTest>

namespace {
// A complete, valid settings file whose DIGSIG_ELF_MODE line is replaced by the given lines.
QByteArray settingsWithElfLines(const QByteArray &elfLines)
{
    return elfLines
        + "DIGSIG_XATTR_MODE=2\n"
          "DIGSIG_IGNORE_XATTR_KEYS=1\n"
          "DIGSIG_IGNORE_GOST2001=0\n"
          "DIGSIG_ELF_VERIFICATION_MODE=3\n";
}
}

class DigSigSettingsDataTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void defaults();
    void setters();
    void enabledModes_data();
    void enabledModes();
    void controlModeByString_data();
    void controlModeByString();
    void controlModeNameById_data();
    void controlModeNameById();
    void verifyModeByName_data();
    void verifyModeByName();
    void verifyModeNameById_data();
    void verifyModeNameById();
    void controllModeTravelsInVariant();
    void parseSettings_data();
    void parseSettings();
    void parseTemplates_data();
    void parseTemplates();
    void missingTemplatesReportedAfterSettings();
    void settingsPathIsDirectory();
    void recordIsCopyable();

private:
    QString invalidLine(const QString &line) const;
    QString missingOption(const QString &key) const;

    TempConfig m_config;
};

void DigSigSettingsDataTest::initTestCase()
{
    QCOMPARE(DigSigSettingsData::configurationDirectory(), QStringLiteral("/etc/digsig"));
    QVERIFY(m_config.isValid());
    DigSigSettingsData::setConfigurationDirectory(m_config.path());
    QCOMPARE(DigSigSettingsData::initramfsConfPath(), m_config.settingsPath());
    QCOMPARE(DigSigSettingsData::xattrControlPath(), m_config.templatesPath());
}

void DigSigSettingsDataTest::cleanupTestCase()
{
    DigSigSettingsData::setConfigurationDirectory(QStringLiteral("/etc/digsig"));
}

QString DigSigSettingsDataTest::invalidLine(const QString &line) const
{
    return QStringLiteral("file %1 has invalid line: %2").arg(m_config.settingsPath(), line);
}

QString DigSigSettingsDataTest::missingOption(const QString &key) const
{
    return QStringLiteral("file %1 does not contain the required option %2").arg(m_config.settingsPath(), key);
}

void DigSigSettingsDataTest::defaults()
{
    const DigSigSettingsData data;
    QCOMPARE(data.elfMode(), ControllMode::Invalid);
    QCOMPARE(data.xattrMode(), ControllMode::Invalid);
    QCOMPARE(data.verifyMode(), VerificationModeId::Invalid);
    QCOMPARE(data.ignoreXattrkeys(), false);
    QCOMPARE(data.ignoreGost2001(), false);
    QVERIFY(data.xattrControlContent().isEmpty());
    QVERIFY(data.errorMessages().isEmpty());
    QCOMPARE(DigSigSettingsData::m_initramfsAttributes,
        QStringList({QStringLiteral("DIGSIG_ELF_MODE"), QStringLiteral("DIGSIG_XATTR_MODE"), QStringLiteral("DIGSIG_IGNORE_XATTR_KEYS"),
            QStringLiteral("DIGSIG_IGNORE_GOST2001"), QStringLiteral("DIGSIG_ELF_VERIFICATION_MODE")}));
}

void DigSigSettingsDataTest::setters()
{
    DigSigSettingsData data;
    data.setElfMode(ControllMode::Debug);
    data.setXattrMode(ControllMode::On);
    data.setVerifyMode(VerificationModeId::All);
    data.setIgnoreXattrKeys(true);
    data.setIgnoreGost2001(true);
    data.setXattrControlContent(QStringLiteral("/usr/\n"));
    data.setErrorMessages({QStringLiteral("a"), QStringLiteral("b")});
    data.setErrorMessages({QStringLiteral("c")});

    QCOMPARE(data.elfMode(), ControllMode::Debug);
    QCOMPARE(data.xattrMode(), ControllMode::On);
    QCOMPARE(data.verifyMode(), VerificationModeId::All);
    QCOMPARE(data.ignoreXattrkeys(), true);
    QCOMPARE(data.ignoreGost2001(), true);
    QCOMPARE(data.xattrControlContent(), QStringLiteral("/usr/\n"));
    QCOMPARE(data.errorMessages(), QStringList {QStringLiteral("c")});
}

void DigSigSettingsDataTest::enabledModes_data()
{
    QTest::addColumn<ControllMode>("mode");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("Off") << ControllMode::Off << false;
    QTest::newRow("On") << ControllMode::On << true;
    QTest::newRow("Debug") << ControllMode::Debug << true;
    QTest::newRow("Invalid") << ControllMode::Invalid << false;
}

void DigSigSettingsDataTest::enabledModes()
{
    QFETCH(ControllMode, mode);
    QFETCH(bool, enabled);
    DigSigSettingsData data;
    data.setElfMode(mode);
    QCOMPARE(data.isElfModeEnabled(), enabled);
    QCOMPARE(data.isXattrModeEnabled(), false);
    data.setXattrMode(mode);
    QCOMPARE(data.isXattrModeEnabled(), enabled);
}

void DigSigSettingsDataTest::controlModeByString_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<ControllMode>("mode");
    QTest::newRow("Off") << QStringLiteral("Off") << ControllMode::Off;
    QTest::newRow("On") << QStringLiteral("On") << ControllMode::On;
    QTest::newRow("Debug") << QStringLiteral("Debug") << ControllMode::Debug;
    QTest::newRow("lower case") << QStringLiteral("on") << ControllMode::Invalid;
    QTest::newRow("upper case") << QStringLiteral("DEBUG") << ControllMode::Invalid;
    QTest::newRow("padded") << QStringLiteral(" On") << ControllMode::Invalid;
    QTest::newRow("number") << QStringLiteral("1") << ControllMode::Invalid;
    QTest::newRow("empty") << QString() << ControllMode::Invalid;
}

void DigSigSettingsDataTest::controlModeByString()
{
    QFETCH(QString, name);
    QFETCH(ControllMode, mode);
    QCOMPARE(DigSigSettingsData::controlModeByString(name), mode);
}

void DigSigSettingsDataTest::controlModeNameById_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("name");
    QTest::newRow("0") << 0 << QStringLiteral("Off");
    QTest::newRow("1") << 1 << QStringLiteral("On");
    QTest::newRow("2") << 2 << QStringLiteral("Debug");
    QTest::newRow("3") << 3 << QString();
    QTest::newRow("-1") << -1 << QString();
    QTest::newRow("42") << 42 << QString();
}

void DigSigSettingsDataTest::controlModeNameById()
{
    QFETCH(int, mode);
    QFETCH(QString, name);
    const QString result = DigSigSettingsData::controlModeNameById(static_cast<ControllMode>(mode));
    QCOMPARE(result, name);
    QCOMPARE(result.isNull(), name.isNull());
}

void DigSigSettingsDataTest::verifyModeByName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<VerificationModeId>("mode");
    QTest::newRow("ONLY_ELF") << QStringLiteral("ONLY_ELF") << VerificationModeId::OnlyElf;
    QTest::newRow("ONLY_XATTR") << QStringLiteral("ONLY_XATTR") << VerificationModeId::OnlyXattr;
    QTest::newRow("FALLBACK") << QStringLiteral("FALLBACK") << VerificationModeId::Fallback;
    QTest::newRow("ANY") << QStringLiteral("ANY") << VerificationModeId::Any;
    QTest::newRow("ALL") << QStringLiteral("ALL") << VerificationModeId::All;
    QTest::newRow("lower case") << QStringLiteral("all") << VerificationModeId::Invalid;
    QTest::newRow("trailing space") << QStringLiteral("ANY ") << VerificationModeId::Invalid;
    QTest::newRow("number") << QStringLiteral("2") << VerificationModeId::Invalid;
    QTest::newRow("empty") << QString() << VerificationModeId::Invalid;
}

void DigSigSettingsDataTest::verifyModeByName()
{
    QFETCH(QString, name);
    QFETCH(VerificationModeId, mode);
    QCOMPARE(DigSigSettingsData::verifyModeByName(name), mode);
}

void DigSigSettingsDataTest::verifyModeNameById_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("name");
    QTest::newRow("0") << 0 << QStringLiteral("ONLY_ELF");
    QTest::newRow("1") << 1 << QStringLiteral("ONLY_XATTR");
    QTest::newRow("2") << 2 << QStringLiteral("FALLBACK");
    QTest::newRow("3") << 3 << QStringLiteral("ANY");
    QTest::newRow("4") << 4 << QStringLiteral("ALL");
    QTest::newRow("-1") << -1 << QString();
    QTest::newRow("5") << 5 << QString();
}

void DigSigSettingsDataTest::verifyModeNameById()
{
    QFETCH(int, mode);
    QFETCH(QString, name);
    const QString result = DigSigSettingsData::verifyModeNameById(static_cast<VerificationModeId>(mode));
    QCOMPARE(result, name);
    QCOMPARE(result.isNull(), name.isNull());
}

void DigSigSettingsDataTest::controllModeTravelsInVariant()
{
    const DigSigSettingsData data;
    Q_UNUSED(data)
    QVERIFY(QMetaType::type("ControllMode") != QMetaType::UnknownType);
    const QVariant variant = QVariant::fromValue(ControllMode::Debug);
    QCOMPARE(variant.value<ControllMode>(), ControllMode::Debug);
    QCOMPARE(variant, QVariant::fromValue(ControllMode::Debug));
    QVERIFY(variant != QVariant::fromValue(ControllMode::On));
}

void DigSigSettingsDataTest::parseSettings_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<ControllMode>("elfMode");
    QTest::addColumn<ControllMode>("xattrMode");
    QTest::addColumn<VerificationModeId>("verifyMode");
    QTest::addColumn<bool>("ignoreXattrKeys");
    QTest::addColumn<bool>("ignoreGost2001");
    QTest::addColumn<QStringList>("messages");

    const QString path = m_config.settingsPath();
    const auto invalidElfValue = [](const QString &value) { return QStringLiteral("DIGSIG_ELF_MODE value \"%1\" is invalid").arg(value); };
    const ControllMode Off = ControllMode::Off;
    const ControllMode On = ControllMode::On;
    const ControllMode Debug = ControllMode::Debug;
    const ControllMode Invalid = ControllMode::Invalid;
    const VerificationModeId Any = VerificationModeId::Any;

    QTest::newRow("valid") << true << TempConfig::settings(1, 2, 4, 1, 0) << On << Debug << VerificationModeId::All << true << false << QStringList();
    QTest::newRow("all zero") << true << TempConfig::settings(0, 0, 0, 0, 1) << Off << Off << VerificationModeId::OnlyElf << false << true << QStringList();
    QTest::newRow("missing file") << false << QByteArray() << Invalid << Invalid << VerificationModeId::Invalid << false << false
                                  << QStringList {QStringLiteral("Can not open file %1").arg(path)};

    QStringList emptyMessages;
    for (const QString &key : DigSigSettingsData::m_initramfsAttributes) {
        emptyMessages << missingOption(key);
    }
    for (const QString &key : DigSigSettingsData::m_initramfsAttributes) {
        emptyMessages << QStringLiteral("%1 value \"\" is invalid").arg(key);
    }
    QTest::newRow("empty file") << true << QByteArray() << Invalid << Invalid << VerificationModeId::Invalid << false << false << emptyMessages;

    const QStringList elfLost = {missingOption(QStringLiteral("DIGSIG_ELF_MODE")), invalidElfValue(QString())};
    const QStringList spaceBefore = QStringList {invalidLine(QStringLiteral("DIGSIG_ELF_MODE =1"))} + elfLost;
    QTest::newRow("space before =") << true << settingsWithElfLines("DIGSIG_ELF_MODE =1\n") << Invalid << Debug << Any << true << false << spaceBefore;
    const QStringList spaceAfter = QStringList {invalidLine(QStringLiteral("DIGSIG_ELF_MODE= 1"))} + elfLost;
    QTest::newRow("space after =") << true << settingsWithElfLines("DIGSIG_ELF_MODE= 1\n") << Invalid << Debug << Any << true << false << spaceAfter;
    const QStringList comment = QStringList {invalidLine(QStringLiteral("DIGSIG_ELF_MODE=1 # enforce"))} + elfLost;
    QTest::newRow("comment after value") << true << settingsWithElfLines("DIGSIG_ELF_MODE=1 # enforce\n") << Invalid << Debug << Any << true << false
                                         << comment;
    const QStringList lowerCase = QStringList {invalidLine(QStringLiteral("digsig_elf_mode=1"))} + elfLost;
    QTest::newRow("lower-case key") << true << settingsWithElfLines("digsig_elf_mode=1\n") << Invalid << Debug << Any << true << false << lowerCase;
    const QStringList negative = QStringList {invalidLine(QStringLiteral("DIGSIG_ELF_MODE=-1"))} + elfLost;
    QTest::newRow("negative value") << true << settingsWithElfLines("DIGSIG_ELF_MODE=-1\n") << Invalid << Debug << Any << true << false << negative;
    QTest::newRow("unknown upper-case key") << true << settingsWithElfLines("DIGSIG_FOO=1\nDIGSIG_ELF_MODE=1\n") << On << Debug << Any << true << false
                                            << QStringList {QStringLiteral("file %1 contains invalid key: DIGSIG_FOO").arg(path)};
    QTest::newRow("later line wins") << true << settingsWithElfLines("DIGSIG_ELF_MODE=0\nDIGSIG_ELF_MODE=2\n") << Debug << Debug << Any << true << false
                                     << QStringList();
    QTest::newRow("leading zero") << true << settingsWithElfLines("DIGSIG_ELF_MODE=01\n") << Invalid << Debug << Any << true << false
                                  << QStringList {invalidElfValue(QStringLiteral("01"))};
    QTest::newRow("out of range") << true << settingsWithElfLines("DIGSIG_ELF_MODE=3\n") << Invalid << Debug << Any << true << false
                                  << QStringList {invalidElfValue(QStringLiteral("3"))};
    QTest::newRow("huge number") << true << settingsWithElfLines("DIGSIG_ELF_MODE=99999999999999999999\n") << Invalid << Debug << Any << true << false
                                 << QStringList {invalidElfValue(QStringLiteral("99999999999999999999"))};
    QTest::newRow("spaces around line") << true << settingsWithElfLines(" \tDIGSIG_ELF_MODE=2 \t\n") << Debug << Debug << Any << true << false << QStringList();
    QTest::newRow("comments and blank lines") << true << settingsWithElfLines("# signature control\n\n   \n  # ELF\nDIGSIG_ELF_MODE=1\n") << On << Debug << Any
                                              << true << false << QStringList();
    QTest::newRow("no final line break") << true << QByteArray(TempConfig::settings(2, 0, 2, 0, 1)).chopped(1) << Debug << Off << VerificationModeId::Fallback
                                         << false << true << QStringList();
    QByteArray crlf = TempConfig::settings(1, 1, 1, 1, 1);
    crlf.replace("\n", "\r\n");
    QTest::newRow("CR LF line ends") << true << crlf << On << On << VerificationModeId::OnlyXattr << true << true << QStringList();

    QTest::newRow("invalid flags and verify mode")
        << true << QByteArray("DIGSIG_ELF_MODE=1\nDIGSIG_XATTR_MODE=7\nDIGSIG_IGNORE_XATTR_KEYS=2\nDIGSIG_IGNORE_GOST2001=10\nDIGSIG_ELF_VERIFICATION_MODE=5\n")
        << On << Invalid << VerificationModeId::Invalid << false << false
        << QStringList {QStringLiteral("DIGSIG_XATTR_MODE value \"7\" is invalid"), QStringLiteral("DIGSIG_IGNORE_XATTR_KEYS value \"2\" is invalid"),
               QStringLiteral("DIGSIG_IGNORE_GOST2001 value \"10\" is invalid"), QStringLiteral("DIGSIG_ELF_VERIFICATION_MODE value \"5\" is invalid")};
    QTest::newRow("messages in file order") << true << QByteArray("junk\nDIGSIG_BAR=1\nmore junk\n") << Invalid << Invalid << VerificationModeId::Invalid
                                            << false << false
                                            << QStringList {invalidLine(QStringLiteral("junk")),
                                                   QStringLiteral("file %1 contains invalid key: DIGSIG_BAR").arg(path),
                                                   invalidLine(QStringLiteral("more junk"))}
            + emptyMessages;
}

void DigSigSettingsDataTest::parseSettings()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, content);
    QFETCH(ControllMode, elfMode);
    QFETCH(ControllMode, xattrMode);
    QFETCH(VerificationModeId, verifyMode);
    QFETCH(bool, ignoreXattrKeys);
    QFETCH(bool, ignoreGost2001);
    QFETCH(QStringList, messages);

    if (exists) {
        m_config.writeSettings(content);
    } else {
        m_config.removeSettings();
    }
    m_config.writeTemplates("/usr/\n");

    DigSigSettingsData data;
    data.analysis();
    QCOMPARE(data.errorMessages(), messages);
    QCOMPARE(data.elfMode(), elfMode);
    QCOMPARE(data.xattrMode(), xattrMode);
    QCOMPARE(data.verifyMode(), verifyMode);
    QCOMPARE(data.ignoreXattrkeys(), ignoreXattrKeys);
    QCOMPARE(data.ignoreGost2001(), ignoreGost2001);
    QCOMPARE(data.xattrControlContent(), QStringLiteral("/usr/\n"));
}

void DigSigSettingsDataTest::parseTemplates_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << QByteArray("/usr/\n//bin/dash\n") << QStringLiteral("/usr/\n//bin/dash\n");
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("CR LF") << QByteArray("/usr/\r\n/opt/\r\n") << QStringLiteral("/usr/\n/opt/\n");
    QTest::newRow("NUL ends the content") << QByteArray("/usr/\n\0/opt/\n", 13) << QStringLiteral("/usr/\n");
    QTest::newRow("NUL first") << QByteArray("\0/usr/\n", 7) << QString();
    QTest::newRow("UTF-8") << QByteArray("/home/\xd0\xb4\xd0\xbe\xd0\xbc/\n") << QStringLiteral("/home/\u0434\u043e\u043c/\n");
}

void DigSigSettingsDataTest::parseTemplates()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    m_config.writeSettings(TempConfig::settings(0, 0, 0));
    m_config.writeTemplates(content);

    DigSigSettingsData data;
    data.analysis();
    QCOMPARE(data.xattrControlContent(), expected);
    QVERIFY(data.errorMessages().isEmpty());
}

void DigSigSettingsDataTest::missingTemplatesReportedAfterSettings()
{
    m_config.writeSettings("junk\n" + TempConfig::settings(0, 0, 0));
    m_config.removeTemplates();

    DigSigSettingsData data;
    data.setXattrControlContent(QStringLiteral("kept"));
    data.analysis();
    QCOMPARE(data.errorMessages(), QStringList({invalidLine(QStringLiteral("junk")), QStringLiteral("Can not open file %1").arg(m_config.templatesPath())}));
    QCOMPARE(data.xattrControlContent(), QStringLiteral("kept"));
}

void DigSigSettingsDataTest::settingsPathIsDirectory()
{
    m_config.removeSettings();
    QVERIFY(QDir().mkdir(m_config.settingsPath()));
    m_config.writeTemplates("/usr/\n");

    DigSigSettingsData data;
    data.analysis();
    QVERIFY(QDir().rmdir(m_config.settingsPath()));
    QCOMPARE(data.errorMessages(), QStringList {QStringLiteral("Can not open file %1").arg(m_config.settingsPath())});
    QCOMPARE(data.elfMode(), ControllMode::Invalid);
}

void DigSigSettingsDataTest::recordIsCopyable()
{
    m_config.writeSettings(TempConfig::settings(2, 1, 3, 1, 1));
    m_config.writeTemplates("/opt/\n");
    DigSigSettingsData original;
    original.analysis();

    DigSigSettingsData copy = original;
    original.setElfMode(ControllMode::Off);
    original.setXattrControlContent(QString());
    QCOMPARE(copy.elfMode(), ControllMode::Debug);
    QCOMPARE(copy.xattrMode(), ControllMode::On);
    QCOMPARE(copy.verifyMode(), VerificationModeId::Any);
    QCOMPARE(copy.xattrControlContent(), QStringLiteral("/opt/\n"));
}

QTEST_GUILESS_MAIN(DigSigSettingsDataTest)

#include "digsigsettingsdatatest.moc"

#include "digsigsettingsdata.h"
#include "tempconfig.h"

#include <QTest>

class DigSigSettingsDataTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void modeNames();
    void parseSettings_data();
    void parseSettings();
    void parseTemplates_data();
    void parseTemplates();

private:
    QString invalidLine(const QString &line) const { return QStringLiteral("file %1 has invalid line: %2").arg(m_config.settingsPath(), line); }
    QString missingOption(const QString &key) const
    {
        return QStringLiteral("file %1 does not contain the required option %2").arg(m_config.settingsPath(), key);
    }
    TempConfig m_config;
};

void DigSigSettingsDataTest::initTestCase()
{
    QCOMPARE(DigSigSettingsData::configurationDirectory(), QStringLiteral("/etc/digsig"));
    DigSigSettingsData::setConfigurationDirectory(m_config.path());
}

// Both ways of both name tables, the enabled rule and the type the combo boxes carry.
void DigSigSettingsDataTest::modeNames()
{
    const QStringList control = QStringLiteral("Off On Debug").split(QLatin1Char(' '));
    const QStringList verify = QStringLiteral("ONLY_ELF ONLY_XATTR FALLBACK ANY ALL").split(QLatin1Char(' '));
    DigSigSettingsData data;
    for (int mode = -1; mode <= 5; ++mode) {
        QCOMPARE(DigSigSettingsData::controlModeNameById(ControllMode(mode)), control.value(mode));
        QCOMPARE(DigSigSettingsData::controlModeByString(control.value(mode)), mode >= 0 && mode < 3 ? ControllMode(mode) : ControllMode::Invalid);
        QCOMPARE(DigSigSettingsData::verifyModeNameById(VerificationModeId(mode)), verify.value(mode));
        QCOMPARE(DigSigSettingsData::verifyModeByName(verify.value(mode)), mode < 5 ? VerificationModeId(mode) : VerificationModeId::Invalid);
        // 3 - mode maps Off, On, Debug, Invalid to Invalid, Debug, On, Off: the same answers.
        data.setElfMode(ControllMode(mode));
        data.setXattrMode(ControllMode(3 - mode));
        QCOMPARE(data.isElfModeEnabled() + 2 * data.isXattrModeEnabled(), mode == 1 || mode == 2 ? 3 : 0);
    }
    QVERIFY(QMetaType::type("ControllMode") != QMetaType::UnknownType);
}

void DigSigSettingsDataTest::parseSettings_data()
{
    QTest::addColumn<QByteArray>("content"); // "-" for a missing file
    QTest::addColumn<QString>("values"); // ELF, xattr and verification modes, the two flags
    QTest::addColumn<QStringList>("messages");
    const QString path = m_config.settingsPath();
    // A complete, valid settings file whose DIGSIG_ELF_MODE line is replaced by the given lines.
    const auto withElfLines = [](const char *elfLines) -> QByteArray {
        return elfLines + QByteArray("DIGSIG_XATTR_MODE=2\nDIGSIG_IGNORE_XATTR_KEYS=1\nDIGSIG_IGNORE_GOST2001=0\nDIGSIG_ELF_VERIFICATION_MODE=3\n");
    };
    const auto invalid = [](const QString &key, const char *value) { return QStringLiteral("%1 value \"%2\" is invalid").arg(key, QLatin1String(value)); };
    const QString elf = QStringLiteral("DIGSIG_ELF_MODE");
    const auto elfLineLost = [&](const char *line) { return QStringList {invalidLine(QString::fromLatin1(line)), missingOption(elf), invalid(elf, "")}; };
    const auto unknownKey = [&path](const char *key) { return QStringLiteral("file %1 contains invalid key: %2").arg(path, QLatin1String(key)); };
    const QStringList &keys = DigSigSettingsData::m_initramfsAttributes; // ELF, xattr, the two flags, verification
    QStringList empty;
    for (const QString &key : keys) {
        empty << missingOption(key);
    }
    for (const QString &key : keys) {
        empty << invalid(key, "");
    }
    const QString elfLost = QStringLiteral("3 2 3 1 0");
    QTest::newRow("valid") << TempConfig::settings(1, 2, 4, 1, 0) << QStringLiteral("1 2 4 1 0") << QStringList();
    QTest::newRow("missing file") << QByteArray("-") << QStringLiteral("3 3 -1 0 0") << QStringList {QStringLiteral("Can not open file %1").arg(path)};
    QTest::newRow("empty file") << QByteArray() << QStringLiteral("3 3 -1 0 0") << empty;
    QTest::newRow("space before =") << withElfLines("DIGSIG_ELF_MODE =1\n") << elfLost << elfLineLost("DIGSIG_ELF_MODE =1");
    QTest::newRow("space after =") << withElfLines("DIGSIG_ELF_MODE= 1\n") << elfLost << elfLineLost("DIGSIG_ELF_MODE= 1");
    QTest::newRow("comment after value") << withElfLines("DIGSIG_ELF_MODE=1 # on\n") << elfLost << elfLineLost("DIGSIG_ELF_MODE=1 # on");
    QTest::newRow("lower-case key") << withElfLines("digsig_elf_mode=1\n") << elfLost << elfLineLost("digsig_elf_mode=1");
    QTest::newRow("negative value") << withElfLines("DIGSIG_ELF_MODE=-1\n") << elfLost << elfLineLost("DIGSIG_ELF_MODE=-1");
    QTest::newRow("unknown upper-case key") << withElfLines("DIGSIG_FOO=1\nDIGSIG_ELF_MODE=1\n") << QStringLiteral("1 2 3 1 0")
                                            << QStringList {unknownKey("DIGSIG_FOO")};
    QTest::newRow("later line wins") << withElfLines("DIGSIG_ELF_MODE=0\nDIGSIG_ELF_MODE=2\n") << QStringLiteral("2 2 3 1 0") << QStringList();
    QTest::newRow("leading zero") << withElfLines("DIGSIG_ELF_MODE=01\n") << elfLost << QStringList {invalid(elf, "01")};
    QTest::newRow("out of range") << withElfLines("DIGSIG_ELF_MODE=3\n") << elfLost << QStringList {invalid(elf, "3")};
    QTest::newRow("spaces around line") << withElfLines(" \tDIGSIG_ELF_MODE=2 \t\n") << QStringLiteral("2 2 3 1 0") << QStringList();
    QTest::newRow("comments and blank lines") << withElfLines("# control\n\n   \n  # ELF\nDIGSIG_ELF_MODE=1\n") << QStringLiteral("1 2 3 1 0") << QStringList();
    QTest::newRow("no final line break") << TempConfig::settings(2, 0, 2, 0, 1).chopped(1) << QStringLiteral("2 0 2 0 1") << QStringList();
    QTest::newRow("CR LF line ends") << TempConfig::settings(1, 1, 1, 1, 1).replace("\n", "\r\n") << QStringLiteral("1 1 1 1 1") << QStringList();
    QTest::newRow("invalid flags and verify mode") << TempConfig::settings(1, 7, 5, 2, 10) << QStringLiteral("1 3 -1 0 0")
                                                   << QStringList {invalid(keys[1], "7"), invalid(keys[2], "2"), invalid(keys[3], "10"), invalid(keys[4], "5")};
    QTest::newRow("messages in file order") << QByteArray("junk\nDIGSIG_BAR=1\nmore junk\n") << QStringLiteral("3 3 -1 0 0")
                                            << QStringList {invalidLine(QStringLiteral("junk")), unknownKey("DIGSIG_BAR"),
                                                   invalidLine(QStringLiteral("more junk"))}
            + empty;
}

void DigSigSettingsDataTest::parseSettings()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, values);
    QFETCH(QStringList, messages);
    if (content == "-") {
        m_config.removeSettings();
    } else {
        m_config.writeSettings(content);
    }
    m_config.writeTemplates("/usr/\n");
    DigSigSettingsData data;
    data.analysis();
    QCOMPARE(data.errorMessages(), messages);
    const QString read = QString::asprintf(
        "%d %d %d %d %d", int(data.elfMode()), int(data.xattrMode()), int(data.verifyMode()), data.ignoreXattrkeys(), data.ignoreGost2001());
    QCOMPARE(read, values);
    QCOMPARE(data.xattrControlContent(), QStringLiteral("/usr/\n"));
}

// The content ends at a NUL byte; a missing file is reported and leaves the content alone.
void DigSigSettingsDataTest::parseTemplates_data()
{
    QTest::addColumn<QByteArray>("content"); // "-" for a missing file
    QTest::addColumn<QString>("expected");
    QTest::newRow("CR LF") << QByteArray("/usr/\r\n/opt/\r\n") << QStringLiteral("/usr/\n/opt/\n");
    QTest::newRow("NUL ends the content") << QByteArray("/usr/\n\0/opt/\n", 13) << QStringLiteral("/usr/\n");
    QTest::newRow("NUL first") << QByteArray("\0/usr/\n", 7) << QString();
    QTest::newRow("UTF-8") << QByteArray("/home/\xd0\xb4\xd0\xbe\xd0\xbc/\n") << QStringLiteral("/home/\u0434\u043e\u043c/\n");
    QTest::newRow("missing file") << QByteArray("-") << QStringLiteral("kept");
}

void DigSigSettingsDataTest::parseTemplates()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    m_config.writeSettings(TempConfig::settings(0, 0, 0));
    if (content == "-") {
        m_config.removeTemplates();
    } else {
        m_config.writeTemplates(content);
    }
    DigSigSettingsData data;
    data.setXattrControlContent(QStringLiteral("kept"));
    data.analysis();
    QCOMPARE(data.xattrControlContent(), expected);
    QCOMPARE(data.errorMessages(), content == "-" ? QStringList {QStringLiteral("Can not open file %1").arg(m_config.templatesPath())} : QStringList());
}

QTEST_GUILESS_MAIN(DigSigSettingsDataTest)

#include "digsigsettingsdatatest.moc"

#include "gnupgtesthome.h"
#include "gpgcontrol.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTest>

#include <functional>
#include <memory>
#include <stdexcept>

namespace {
const QString pinentryKey = QStringLiteral("pinentry-program");
const QString pinentryQt = QStringLiteral("/usr/bin/pinentry-qt");

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

// Owner, group and other bits; Qt's "user" bits describe the running account instead.
QFileDevice::Permissions modeOf(const QString &path)
{
    return QFile::permissions(path) & QFileDevice::Permissions(0x7077);
}

QString failureOf(const std::function<void()> &operation)
{
    try {
        operation();
    } catch (const std::runtime_error &error) {
        return QString::fromStdString(error.what());
    }
    return QString();
}
}

class AgentConfigurationTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void mergesIntoTheConfiguration_data();
    void mergesIntoTheConfiguration();
    void appendsNewOptionsAndKeepsTheRest();
    void mergesWithoutAFile();

    void createsTheHomeOwnerOnly();
    void leavesAnExistingHomeAsItIs();
    void failsWhenTheHomeCannotBeCreated();
    void failsWhenTheConfigurationCannotBeOpened();
    void failsWhenTheAgentCannotBeReloaded_data();
    void failsWhenTheAgentCannotBeReloaded();

private:
    QString configurationPath() const;

    std::unique_ptr<GnupgTestHome> m_agentHome;
    std::unique_ptr<QTemporaryDir> m_gnupgHome;
    QByteArray m_originalPath;
};

void AgentConfigurationTest::initTestCase()
{
    m_originalPath = qgetenv("PATH");
    // One running agent for the whole test; GpgControl's home and the agent's are the same.
    m_agentHome = std::make_unique<GnupgTestHome>();
    QVERIFY(m_agentHome->isValid());
    m_agentHome->activate();
    QCOMPARE(m_agentHome->run(QStringLiteral("gpg-connect-agent"), {QStringLiteral("/bye")}).exitCode, 0);
    GpgControl::setGnupgHomeForTesting(m_agentHome->path());
}

void AgentConfigurationTest::init()
{
    qputenv("PATH", m_originalPath);
    GpgControl::setGnupgHomeForTesting(m_agentHome->path());
    QFile::remove(configurationPath());
}

void AgentConfigurationTest::cleanupTestCase()
{
    qputenv("PATH", m_originalPath);
    m_agentHome.reset();
}

QString AgentConfigurationTest::configurationPath() const
{
    return GpgControl::agentConfigurationPath();
}

void AgentConfigurationTest::mergesIntoTheConfiguration_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("empty file") << QByteArray() << QByteArray("pinentry-program /usr/bin/pinentry-qt\n");
    QTest::newRow("three lines") << QByteArray("# agent options\npinentry-program /usr/bin/pinentry-curses\ndefault-cache-ttl 600\n")
                                 << QByteArray("# agent options\npinentry-program /usr/bin/pinentry-qt\ndefault-cache-ttl 600\n");
    QTest::newRow("indented key is not a key") << QByteArray("  pinentry-program /usr/bin/pinentry-curses\n")
                                               << QByteArray("  pinentry-program /usr/bin/pinentry-curses\npinentry-program /usr/bin/pinentry-qt\n");
    QTest::newRow("every one of two lines") << QByteArray("pinentry-program /a\nverbose\npinentry-program /b\n")
                                            << QByteArray("pinentry-program /usr/bin/pinentry-qt\nverbose\npinentry-program /usr/bin/pinentry-qt\n");
    QTest::newRow("tab after the key") << QByteArray("pinentry-program\t/a\n") << QByteArray("pinentry-program /usr/bin/pinentry-qt\n");
    QTest::newRow("key without value") << QByteArray("pinentry-program\n") << QByteArray("pinentry-program /usr/bin/pinentry-qt\n");
    QTest::newRow("no line end at the end") << QByteArray("verbose") << QByteArray("verbose\npinentry-program /usr/bin/pinentry-qt\n");
    QTest::newRow("windows line ends") << QByteArray("verbose\r\npinentry-program /a\r\n") << QByteArray("verbose\npinentry-program /usr/bin/pinentry-qt\n");
    QTest::newRow("empty lines and comments kept") << QByteArray("\n# pinentry-program /x\n\n")
                                                   << QByteArray("\n# pinentry-program /x\n\npinentry-program /usr/bin/pinentry-qt\n");
    QTest::newRow("longer key is another key") << QByteArray("pinentry-program-x 1\n")
                                               << QByteArray("pinentry-program-x 1\npinentry-program /usr/bin/pinentry-qt\n");
    QTest::newRow("utf-16 byte order mark is no encoding switch")
        << QByteArray("\xff\xfe# a\n") << QByteArray("\xef\xbf\xbd\xef\xbf\xbd# a\npinentry-program /usr/bin/pinentry-qt\n");
    QTest::newRow("utf-8 byte order mark dropped") << QByteArray("\xef\xbb\xbfverbose\n") << QByteArray("verbose\npinentry-program /usr/bin/pinentry-qt\n");
    QTest::newRow("utf-8 kept") << QByteArray("# ключ агента\n") << QByteArray("# ключ агента\npinentry-program /usr/bin/pinentry-qt\n");
}

void AgentConfigurationTest::mergesIntoTheConfiguration()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);

    writeFile(configurationPath(), before);
    GpgControl::setAgentOption(pinentryKey, pinentryQt);
    QCOMPARE(readFile(configurationPath()), after);

    // The merge alone gives the same text.
    QBuffer buffer(&before);
    QVERIFY(buffer.open(QIODevice::ReadOnly | QIODevice::Text));
    QCOMPARE(GpgControl::mergeAgentConfiguration(buffer, {{pinentryKey, pinentryQt}}).toUtf8(), after);
}

void AgentConfigurationTest::appendsNewOptionsAndKeepsTheRest()
{
    writeFile(configurationPath(), "# comment\ndefault-cache-ttl 600\nmax-cache-ttl 7200\n");
    GpgControl::setAgentOptions(
        {{QStringLiteral("max-cache-ttl"), QStringLiteral("60")}, {QStringLiteral("allow-loopback-pinentry"), QString()}, {pinentryKey, pinentryQt}});

    const QList<QByteArray> lines = readFile(configurationPath()).split('\n');
    QCOMPARE(lines.size(), 6);
    QCOMPARE(lines.mid(0, 3), QList<QByteArray>({"# comment", "default-cache-ttl 600", "max-cache-ttl 60"}));
    QVERIFY(lines.contains("allow-loopback-pinentry "));
    QVERIFY(lines.contains("pinentry-program /usr/bin/pinentry-qt"));
    QCOMPARE(lines.last(), QByteArray());
}

void AgentConfigurationTest::mergesWithoutAFile()
{
    QVERIFY(!QFile::exists(configurationPath()));
    GpgControl::setAgentOption(pinentryKey, pinentryQt);
    QCOMPARE(readFile(configurationPath()), QByteArray("pinentry-program /usr/bin/pinentry-qt\n"));
}

void AgentConfigurationTest::createsTheHomeOwnerOnly()
{
    QTemporaryDir scratch(QStringLiteral("/tmp/kwXXXXXX"));
    const QString home = scratch.filePath(QStringLiteral("root/.gnupg"));
    GpgControl::setGnupgHomeForTesting(home);

    GpgControl::setAgentOption(pinentryKey, pinentryQt);

    QVERIFY(QFileInfo(home).isDir());
    QCOMPARE(modeOf(home), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QCOMPARE(readFile(home + QStringLiteral("/gpg-agent.conf")), QByteArray("pinentry-program /usr/bin/pinentry-qt\n"));
}

void AgentConfigurationTest::leavesAnExistingHomeAsItIs()
{
    QTemporaryDir scratch(QStringLiteral("/tmp/kwXXXXXX"));
    const QFileDevice::Permissions open = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup
        | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
    QVERIFY(QFile::setPermissions(scratch.path(), open));
    GpgControl::setGnupgHomeForTesting(scratch.path());

    GpgControl::createGnupgHome();

    QCOMPARE(modeOf(scratch.path()), open);
}

void AgentConfigurationTest::failsWhenTheHomeCannotBeCreated()
{
    QTemporaryDir scratch(QStringLiteral("/tmp/kwXXXXXX"));
    const QString blocker = scratch.filePath(QStringLiteral("root"));
    writeFile(blocker, "a file where a directory belongs");
    const QString home = blocker + QStringLiteral("/.gnupg");
    GpgControl::setGnupgHomeForTesting(home);

    QCOMPARE(failureOf(&GpgControl::createGnupgHome), QStringLiteral("Can not create dir %1").arg(home));
    QCOMPARE(failureOf([] { GpgControl::setAgentOption(pinentryKey, pinentryQt); }), QStringLiteral("Can not create dir %1").arg(home));
    QCOMPARE(readFile(blocker), QByteArray("a file where a directory belongs"));
}

void AgentConfigurationTest::failsWhenTheConfigurationCannotBeOpened()
{
    QVERIFY(QDir().mkdir(configurationPath()));
    const QString failure = failureOf([] { GpgControl::setAgentOption(pinentryKey, pinentryQt); });
    QVERIFY(QDir().rmdir(configurationPath()));
    QCOMPARE(failure, QStringLiteral("Can not open file %1").arg(configurationPath()));
}

void AgentConfigurationTest::failsWhenTheAgentCannotBeReloaded_data()
{
    QTest::addColumn<QByteArray>("stubScript");

    QTest::newRow("reload command fails") << QByteArray("#!/bin/sh\nexit 1\n");
    QTest::newRow("reload command crashes") << QByteArray("#!/bin/sh\nkill -SEGV $$\n");
    QTest::newRow("reload command missing") << QByteArray();
}

void AgentConfigurationTest::failsWhenTheAgentCannotBeReloaded()
{
    QFETCH(QByteArray, stubScript);

    QTemporaryDir bin(QStringLiteral("/tmp/kwXXXXXX"));
    if (!stubScript.isEmpty()) {
        const QString stub = bin.filePath(QStringLiteral("gpg-connect-agent"));
        writeFile(stub, stubScript);
        QVERIFY(QFile::setPermissions(stub, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    }
    qputenv("PATH", QFile::encodeName(bin.path()));
    writeFile(configurationPath(), "verbose\n");

    const QString failure = failureOf([] { GpgControl::setAgentOption(pinentryKey, pinentryQt); });
    qputenv("PATH", m_originalPath);

    QCOMPARE(failure, QStringLiteral("Can not reload gpg-agent"));
    // The file is saved before the reload is attempted.
    QCOMPARE(readFile(configurationPath()), QByteArray("verbose\npinentry-program /usr/bin/pinentry-qt\n"));
}

QTEST_GUILESS_MAIN(AgentConfigurationTest)

#include "agentconfigurationtest.moc"

// A writer killed at any moment leaves each file whole: the old content or a complete new one.

#include "helperenvironment.h"
#include "settingswriter.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

class SettingsWriterFaultTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void killedWriterLeavesWholeFiles_data();
    void killedWriterLeavesWholeFiles();
};

void SettingsWriterFaultTest::killedWriterLeavesWholeFiles_data()
{
    QTest::addColumn<int>("delay");
    for (int round = 0; round < 8; ++round) {
        QTest::addRow("round %d", round) << int(QRandomGenerator::global()->bounded(1, 40));
    }
}

void SettingsWriterFaultTest::killedWriterLeavesWholeFiles()
{
    QFETCH(int, delay);
    QTemporaryDir root;
    const HelperEnvironment environment(root.path(), QStringLiteral("/bin/true"), QStringLiteral("/bin/true"));
    QDir().mkpath(environment.digsigDir());
    QFile old(environment.xattrControlPath());
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("/old/\n");
    old.close();

    QProcess writer;
    writer.start(QStringLiteral(WRITER_PROGRAM), {root.path()});
    QVERIFY(writer.waitForReadyRead(30000));
    QTest::qSleep(delay);
    writer.kill();
    QVERIFY(writer.waitForFinished());

    QFile written(environment.xattrControlPath());
    QVERIFY(written.open(QIODevice::ReadOnly));
    const QByteArray content = written.readAll();
    const bool whole
        = content == "/old/\n" || content == QByteArray(SettingsWriter::MaxTemplateBytes, 'a') || content == QByteArray(SettingsWriter::MaxTemplateBytes, 'b');
    QVERIFY2(whole, qPrintable(QStringLiteral("%1 bytes, starting with %2").arg(content.size()).arg(QString::fromLatin1(content.left(8)))));

    QFile settings(environment.initramfsConfPath());
    QVERIFY(settings.open(QIODevice::ReadOnly));
    QVERIFY(settings.readAll().endsWith("DIGSIG_ELF_VERIFICATION_MODE=2\n"));
    // The files are never replaced in place. A kill in the instant between giving the
    // unnamed temporary file a name and renaming it over the target may leave that
    // temporary sibling behind; nothing else may appear.
    const QStringList entries = QDir(environment.digsigDir()).entryList(QDir::Files | QDir::Hidden);
    QVERIFY(entries.contains(QStringLiteral("digsig_initramfs.conf")));
    QVERIFY(entries.contains(QStringLiteral("xattr_control")));
    for (const QString &entry : entries) {
        QVERIFY2(entry == QStringLiteral("digsig_initramfs.conf") || entry == QStringLiteral("xattr_control") || entry.startsWith(QStringLiteral("xattr_control."))
                     || entry.startsWith(QStringLiteral("digsig_initramfs.conf.")),
                 qPrintable(entry));
    }
}

QTEST_GUILESS_MAIN(SettingsWriterFaultTest)

#include "settingswriterfaulttest.moc"

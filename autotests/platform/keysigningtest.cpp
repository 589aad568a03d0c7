// Key actions and signing with real GnuPG in a scratch root: the key ring is the root's
// "/root/.gnupg", the GOST-capable gpg stand-in is first on the search path, and bsign is
// the stand-in, whose reports must really verify.

#include "helperenvironment.h"
#include "keyactions.h"
#include "signingrun.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {
const QString userId = QStringLiteral("Test Signer <signer@example.org>");

struct Run
{
    int exitCode = -1;
    QString output;
};
}

class KeySigningTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void keysListsTheGostKey();
    void exportWritesThePublicKey();
    void exportOfUnknownKeyFailsAndWritesNothing();
    void importTakesVendorKeys();
    void signingSignsAndVerifies();
    void changedFileReadsAsBad();
    void unsignedFileHasNoSignature();

private:
    HelperEnvironment environment() const;
    Run bsign(const QStringList &arguments) const;
    QString copyOf(const QString &source, const QString &name) const;

    QTemporaryDir m_root;
    QString m_fingerprint;
};

HelperEnvironment KeySigningTest::environment() const
{
    return HelperEnvironment(m_root.path(), QStringLiteral(BSIGN_PROGRAM), QStringLiteral("/bin/true"));
}

Run KeySigningTest::bsign(const QStringList &arguments) const
{
    QProcess process;
    process.setProcessEnvironment(environment().programEnvironment());
    process.start(environment().bsignProgram(), arguments);
    process.waitForFinished(60000);
    return {process.exitCode(), QString::fromLocal8Bit(process.readAllStandardOutput())};
}

QString KeySigningTest::copyOf(const QString &source, const QString &name) const
{
    const QString target = m_root.path() + QStringLiteral("/tree/") + name;
    QDir().mkpath(QFileInfo(target).absolutePath());
    QFile::remove(target);
    QFile::copy(source, target);
    return target;
}

void KeySigningTest::initTestCase()
{
    QVERIFY(m_root.isValid());
    // GpgME finds gpgconf on the search path; the stand-in reports the curve key as GOST.
    qputenv("PATH", QByteArray(GNUPG_STANDIN_DIR ":") + qgetenv("PATH"));
    const QString home = environment().gnupgHome();
    QVERIFY(QDir().mkpath(home));
    QFile::setPermissions(home, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QDir().mkpath(environment().digsigDir());

    QProcess gpg;
    gpg.setProcessEnvironment(environment().programEnvironment());
    gpg.start(QStringLiteral("/usr/bin/gpg"), {QStringLiteral("--batch"), QStringLiteral("--quiet"), QStringLiteral("--gen-key")});
    gpg.write("%no-protection\nKey-Type: ECDSA\nKey-Curve: brainpoolP256r1\nKey-Usage: sign\nName-Real: Test Signer\n"
              "Name-Email: signer@example.org\nExpire-Date: 0\n%commit\n");
    gpg.closeWriteChannel();
    QVERIFY(gpg.waitForFinished(60000));
    QCOMPARE(gpg.exitCode(), 0);

    const HelperResult keys = KeyActions::keys(environment());
    QVERIFY2(keys.isSuccess(), qPrintable(keys.error()));
    m_fingerprint = keys.data().value(userId).toString();
    QCOMPARE(m_fingerprint.size(), 40);
}

void KeySigningTest::cleanupTestCase()
{
    QProcess::execute(
        QStringLiteral("/usr/bin/gpgconf"), {QStringLiteral("--homedir"), environment().gnupgHome(), QStringLiteral("--kill"), QStringLiteral("all")});
}

void KeySigningTest::keysListsTheGostKey()
{
    const HelperResult keys = KeyActions::keys(environment());
    QCOMPARE(keys.data(), (QVariantMap {{userId, m_fingerprint}}));
}

void KeySigningTest::exportWritesThePublicKey()
{
    const QString path = environment().xattrKeysDir() + QStringLiteral("/%1.gpg").arg(m_fingerprint);
    const HelperResult result = KeyActions::exportKey(environment(), m_fingerprint, path);
    QVERIFY2(result.isSuccess(), qPrintable(result.error()));
    QFile key(path);
    QVERIFY(key.open(QIODevice::ReadOnly));
    QVERIFY(key.size() > 100);
    QCOMPARE(key.permissions() & QFileDevice::ReadOther, QFileDevice::ReadOther);
}

void KeySigningTest::exportOfUnknownKeyFailsAndWritesNothing()
{
    const QString path = environment().vendorKeysDir() + QStringLiteral("/unknown.gpg");
    const HelperResult result = KeyActions::exportKey(environment(), QStringLiteral("0123456789ABCDEF0123456789ABCDEF01234567"), path);
    QVERIFY(!result.isSuccess());
    QVERIFY(!result.error().isEmpty());
    QVERIFY(!QFile::exists(path));
}

void KeySigningTest::importTakesVendorKeys()
{
    QDir().mkpath(environment().vendorKeysDir());
    QVERIFY(KeyActions::exportToFile(environment(), m_fingerprint, environment().vendorKeysDir() + QStringLiteral("/vendor.gpg")).isEmpty());
    const HelperResult result = KeyActions::importVendorKeys(environment());
    QVERIFY2(result.isSuccess(), qPrintable(result.error()));
}

void KeySigningTest::signingSignsAndVerifies()
{
    const QString program = copyOf(QStringLiteral("/usr/bin/true"), QStringLiteral("program"));
    const QString text = copyOf(QStringLiteral("/etc/hostname"), QStringLiteral("notes.txt"));
    const QVariantMap arguments {{QStringLiteral("signing_process"), QString()}, {QStringLiteral("files"), QStringList {program, text}},
        {QStringLiteral("key_id"), m_fingerprint}, {QStringLiteral("mode"), 2}, {QStringLiteral("DISPLAY"), QString()},
        {QStringLiteral("XAUTHORITY"), QString()}, {QStringLiteral("paths"), QStringList {QFileInfo(program).absolutePath(), text}}};
    QList<QVariantMap> records;
    const HelperResult result = SigningRun::run(
        environment(), arguments, int(getuid()), [&records](const QVariantMap &record) { records.append(record); }, [] { return false; });
    QVERIFY2(result.isSuccess(), qPrintable(result.error()));
    QCOMPARE(records.size(), 3);
    QCOMPARE(records.at(0).value(QStringLiteral("file_finished")).toMap(), (QVariantMap {{program, 0}}));
    QCOMPARE(records.at(1).value(QStringLiteral("file_finished")).toMap(), (QVariantMap {{text, 68}})); // not an ELF file
    const QVariantMap exported = records.at(2).value(QStringLiteral("export_result")).toMap();
    QCOMPARE(exported.value(QStringLiteral("error_text")).toString(), QString());
    QCOMPARE(exported.value(QStringLiteral("path")).toString(), environment().xattrKeysDir() + QStringLiteral("/%1.gpg").arg(m_fingerprint));

    QFile control(environment().xattrControlPath());
    QVERIFY(control.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(control.readAll()), QFileInfo(program).absolutePath() + QStringLiteral("/\n/") + text + QStringLiteral("\n"));

    const Run report = bsign({QStringLiteral("-w"), program});
    QCOMPARE(report.exitCode, 0);
    QVERIFY2(report.output.contains(QStringLiteral("\nxattr signature: good\nELF signature: good\n")), qPrintable(report.output));
    QVERIFY(report.output.contains(QStringLiteral("hash: {SHA256} ")));
    QVERIFY(report.output.contains(QStringLiteral("timestamp: ")));
    QVERIFY(report.output.contains(QStringLiteral("signer: ") + m_fingerprint.right(16)));
}

void KeySigningTest::changedFileReadsAsBad()
{
    const QString program = m_root.path() + QStringLiteral("/tree/program");
    QFile file(program);
    QVERIFY(file.open(QIODevice::Append));
    file.write("changed");
    file.close();
    const Run report = bsign({QStringLiteral("-w"), program});
    QCOMPARE(report.exitCode, 67);
    QVERIFY(report.output.contains(QStringLiteral("xattr signature: BAD")));
    QVERIFY(!report.output.contains(QStringLiteral("good")));
}

void KeySigningTest::unsignedFileHasNoSignature()
{
    const Run report = bsign({QStringLiteral("-w"), copyOf(QStringLiteral("/usr/bin/false"), QStringLiteral("unsigned"))});
    QCOMPARE(report.exitCode, 65);
    QCOMPARE(bsign({QStringLiteral("-w"), m_root.path() + QStringLiteral("/missing")}).exitCode, 2);
    QCOMPARE(bsign({QStringLiteral("-w"), m_root.path()}).exitCode, 21);

    // Neither a check nor a signature goes through a link, in any component of the path.
    const QString program = copyOf(QStringLiteral("/usr/bin/true"), QStringLiteral("linked/program"));
    QVERIFY(QFile::link(QFileInfo(program).absolutePath(), m_root.path() + QStringLiteral("/link")));
    const QString viaLink = m_root.path() + QStringLiteral("/link/program");
    QCOMPARE(bsign({QStringLiteral("-w"), viaLink}).exitCode, 22);
    QCOMPARE(bsign({QStringLiteral("--sign"), QStringLiteral("--kind"), QStringLiteral("both"), QStringLiteral("--key"), m_fingerprint, viaLink}).exitCode, 22);
    QCOMPARE(bsign({QStringLiteral("-w"), program}).exitCode, 65);
}

QTEST_GUILESS_MAIN(KeySigningTest)

#include "keysigningtest.moc"

#include "helperenvironment.h"

#include <QDir>

HelperEnvironment::HelperEnvironment(const QString &root, const QString &bsignProgram, const QString &updateProgram)
    : m_root(QDir::cleanPath(root))
    , m_bsignProgram(bsignProgram)
    , m_updateProgram(updateProgram)
{
}

HelperEnvironment HelperEnvironment::platform()
{
    return HelperEnvironment(QStringLiteral("/"), QStringLiteral("/usr/bin/bsign"), QStringLiteral("/usr/sbin/update-initramfs"));
}

QString HelperEnvironment::programSearchPath()
{
    return QStringLiteral("/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin");
}

QString HelperEnvironment::root() const
{
    return m_root;
}

QString HelperEnvironment::underRoot(const QString &absolutePath) const
{
    if (m_root == QLatin1String("/")) {
        return absolutePath;
    }
    return m_root + absolutePath;
}

QString HelperEnvironment::digsigDir() const
{
    return underRoot(QStringLiteral("/etc/digsig"));
}

QString HelperEnvironment::initramfsConfPath() const
{
    return underRoot(QStringLiteral("/etc/digsig/digsig_initramfs.conf"));
}

QString HelperEnvironment::xattrControlPath() const
{
    return underRoot(QStringLiteral("/etc/digsig/xattr_control"));
}

QString HelperEnvironment::xattrKeysDir() const
{
    return underRoot(QStringLiteral("/etc/digsig/xattr_keys"));
}

QString HelperEnvironment::vendorKeysDir() const
{
    return underRoot(QStringLiteral("/etc/digsig/keys"));
}

QString HelperEnvironment::logPath() const
{
    return underRoot(QStringLiteral("/var/log/orlis-kcm-digsig.log"));
}

QString HelperEnvironment::gnupgHome() const
{
    return underRoot(QStringLiteral("/root/.gnupg"));
}

QString HelperEnvironment::bsignProgram() const
{
    return m_bsignProgram;
}

QString HelperEnvironment::updateProgram() const
{
    return m_updateProgram;
}

QStringList HelperEnvironment::updateArguments() const
{
    return {QStringLiteral("-u"), QStringLiteral("-k"), QStringLiteral("all")};
}

QProcessEnvironment HelperEnvironment::programEnvironment() const
{
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("PATH"), programSearchPath());
    environment.insert(QStringLiteral("HOME"), underRoot(QStringLiteral("/root")));
    environment.insert(QStringLiteral("GNUPGHOME"), gnupgHome());
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    return environment;
}

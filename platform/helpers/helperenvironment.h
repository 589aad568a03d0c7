#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

/**
 * Where the helper actions find their files and programs. The installed helpers always use
 * platform(): the fixed paths below "/" and the fixed programs. Unit tests build one over a
 * scratch root and point the programs at stand-ins. Nothing here is ever taken from the
 * process environment.
 */
class HelperEnvironment
{
public:
    HelperEnvironment(const QString &root, const QString &bsignProgram, const QString &updateProgram);

    /** The installed helpers' view: root "/", "/usr/bin/bsign", "/usr/sbin/update-initramfs". */
    static HelperEnvironment platform();

    /** The search path of every program the helpers start, GnuPG's included. */
    static QString programSearchPath();

    QString root() const;
    /** @p absolutePath seen below the root. */
    QString underRoot(const QString &absolutePath) const;

    QString digsigDir() const;
    QString initramfsConfPath() const;
    QString xattrControlPath() const;
    QString xattrKeysDir() const;
    QString vendorKeysDir() const;
    QString logPath() const;
    QString gnupgHome() const;

    QString bsignProgram() const;
    QString updateProgram() const;
    QStringList updateArguments() const;

    /** The clean environment of a started program: search path, home, GnuPG home, C locale. */
    QProcessEnvironment programEnvironment() const;

private:
    QString m_root;
    QString m_bsignProgram;
    QString m_updateProgram;
};

#include "startupfiles.h"

#include "elfdependencies.h"
#include "nofollowopen.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <unistd.h>

namespace {
// More files than any start-up needs: a loop in broken headers ends here.
constexpr int MaxFiles = 4096;
constexpr qint64 MaxConfigurationSize = 64 * 1024;

QString readSmallFile(const QString &path)
{
    NoFollowOpen::Refusal refusal;
    const NoFollowOpen::Descriptor file = NoFollowOpen::openRegularFile(path, &refusal);
    if (!file.isValid()) {
        return QString();
    }
    QByteArray bytes(int(MaxConfigurationSize), Qt::Uninitialized);
    const ssize_t got = ::read(file.fd(), bytes.data(), size_t(bytes.size()));
    return got > 0 ? QString::fromUtf8(bytes.constData(), int(got)) : QString();
}
}

StartupFiles::StartupFiles(const RootPath &root)
    : m_root(root)
{
}

QStringList StartupFiles::programs()
{
    return {QStringLiteral("/sbin/init"), QStringLiteral("/bin/sh"), QStringLiteral("/bin/login"), QStringLiteral("/sbin/agetty"),
        QStringLiteral("/sbin/getty"), QStringLiteral("/usr/sbin/sshd"), QStringLiteral("/usr/bin/sddm"), QStringLiteral("/usr/sbin/lightdm"),
        QStringLiteral("/usr/sbin/gdm3"), QStringLiteral("/usr/bin/fly-dm"), QStringLiteral("/usr/bin/systemsettings"), QStringLiteral("/usr/bin/kcmshell5"),
        QStringLiteral("/usr/bin/pkexec"), QStringLiteral(BSIGN_PROGRAM), QStringLiteral("/usr/lib/kauth/libexec/orlis_kcm_digsig_helper"),
        QStringLiteral("/usr/lib/kauth/libexec/orlis_kcm_securitysettings_helper"), QStringLiteral("/usr/lib/kauth/libexec/keywright"),
        QStringLiteral("/usr/bin/digsig-check"), QStringLiteral("/usr/sbin/update-initramfs"), QStringLiteral("/usr/sbin/mkinitramfs"),
        QStringLiteral("/usr/bin/cpio")};
}

QSet<QString> StartupFiles::collect()
{
    m_libraryDirectories = libraryDirectories();
    QStringList wanted = programs();
    const QString manager = displayManager();
    if (!manager.isEmpty()) {
        wanted.append(manager);
    }
    for (const QString &program : qAsConst(wanted)) {
        add(program);
    }
    while (!m_pending.isEmpty() && m_files.size() < MaxFiles) {
        addLibraries(m_pending.takeLast());
    }
    return m_files;
}

void StartupFiles::add(const QString &path)
{
    const QString real = m_root.resolved(path);
    if (!real.isEmpty() && !m_files.contains(real)) {
        m_files.insert(real);
        m_pending.append(real);
    }
}

void StartupFiles::addLibraries(const QString &path)
{
    NoFollowOpen::Refusal refusal;
    const NoFollowOpen::Descriptor file = NoFollowOpen::openRegularFile(m_root.outside(path), &refusal);
    ElfDependencies dependencies;
    if (!file.isValid() || !dependencies.read(file.fd())) {
        return;
    }
    if (!dependencies.interpreter.isEmpty()) {
        add(dependencies.interpreter);
    }
    const QString origin = path.left(path.lastIndexOf(QLatin1Char('/')));
    for (const QString &name : qAsConst(dependencies.needed)) {
        const QString library = findLibrary(name, origin, dependencies.searchPaths);
        if (!library.isEmpty()) {
            add(library);
        }
    }
}

QString StartupFiles::findLibrary(const QString &name, const QString &origin, const QStringList &searchPaths) const
{
    if (name.contains(QLatin1Char('/'))) {
        return name.startsWith(QLatin1Char('/')) ? name : origin + QLatin1Char('/') + name;
    }
    QStringList directories;
    for (QString directory : searchPaths) {
        directories.append(directory.replace(QLatin1String("$ORIGIN"), origin).replace(QLatin1String("${ORIGIN}"), origin));
    }
    for (const QString &directory : directories + m_libraryDirectories) {
        const QString candidate = QDir::cleanPath(directory + QLatin1Char('/') + name);
        if (!m_root.resolved(candidate).isEmpty()) {
            return candidate;
        }
    }
    return QString();
}

// The loader's own directories: those of /etc/ld.so.conf.d, then the default ones.
QStringList StartupFiles::libraryDirectories() const
{
    QStringList directories;
    const QString confDirectory = m_root.outside(QStringLiteral("/etc/ld.so.conf.d"));
    const QStringList confFiles = QDir(confDirectory).entryList({QStringLiteral("*.conf")}, QDir::Files, QDir::Name);
    static const QRegularExpression absoluteLine(QStringLiteral("^\\s*(/[^\\s#]*)"), QRegularExpression::MultilineOption);
    for (const QString &conf : confFiles) {
        auto lines = absoluteLine.globalMatch(readSmallFile(confDirectory + QLatin1Char('/') + conf));
        while (lines.hasNext()) {
            directories.append(lines.next().captured(1));
        }
    }
    return directories + QStringList {QStringLiteral("/lib64"), QStringLiteral("/usr/lib64"), QStringLiteral("/lib"), QStringLiteral("/usr/lib")};
}

QString StartupFiles::displayManager() const
{
    const QString configured = readSmallFile(m_root.outside(QStringLiteral("/etc/X11/default-display-manager"))).trimmed();
    static const QRegularExpression program(QStringLiteral("\\A/[^\\x00-\\x1f]+\\z"));
    return program.match(configured).hasMatch() ? configured : QString();
}

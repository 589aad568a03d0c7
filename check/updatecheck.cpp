#include "updatecheck.h"

#include "nofollowopen.h"
#include "pathtext.h"
#include "scanrules.h"

#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString DpkgLog = QStringLiteral("/var/log/dpkg.log");
const QString DpkgInfo = QStringLiteral("/var/lib/dpkg/info/");
const QString Position = QStringLiteral("dpkg-log-position");
const QString Report = QStringLiteral("last-update.json");
// No update installs more than this; the log and the file lists are read no further.
constexpr qint64 MaxRead = 64 * 1024 * 1024;
constexpr int MaxPackages = 4096;

QByteArray readFrom(const QString &path, qint64 offset, struct stat *status)
{
    NoFollowOpen::Refusal refusal;
    const NoFollowOpen::Descriptor file = NoFollowOpen::openRegularFile(path, &refusal);
    if (!file.isValid() || fstat(file.fd(), status) != 0) {
        return QByteArray();
    }
    const qint64 start = offset <= status->st_size ? offset : 0;
    QByteArray bytes(int(qMin<qint64>(status->st_size - start, MaxRead)), Qt::Uninitialized);
    const ssize_t got = pread(file.fd(), bytes.data(), size_t(bytes.size()), start);
    bytes.resize(got > 0 ? int(got) : 0);
    return bytes;
}

bool saveAtomically(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size()
        && file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther) && file.commit();
}
}

UpdateCheck::UpdateCheck(FILE *out)
    : ReportWriter(CheckOptions::Json, true, out)
{
}

QString UpdateCheck::stateDirectory()
{
    return QStringLiteral("/var/lib/orlis-kcm-digsig");
}

bool UpdateCheck::controlsEnabled(const QString &settings)
{
    static const QRegularExpression enabled(QStringLiteral("^DIGSIG_(?:ELF|XATTR)_MODE=\\s*[12]\\s*$"), QRegularExpression::MultilineOption);
    return enabled.match(settings).hasMatch();
}

bool UpdateCheck::collect(FileWalk *walk, const QString &templates)
{
    const QVector<ScanRules::Template> entries = ScanRules::templates(templates);
    const auto listed = [&entries](const QString &path) {
        return std::any_of(entries.cbegin(), entries.cend(), [&path](const ScanRules::Template &entry) {
            return entry.singleFile ? path == entry.path : path.startsWith(entry.path.endsWith(QLatin1Char('/')) ? entry.path : entry.path + QLatin1Char('/'));
        });
    };
    const QSet<QString> packages = installedPackages();
    for (const QString &package : packages) {
        for (const QString &path : packageFiles(package)) {
            walk->addFile(path, listed(path));
        }
    }
    return true;
}

// "<date> <time> status installed <package>:<arch> <version>" for each package the run
// installed or upgraded.
QSet<QString> UpdateCheck::installedPackages()
{
    bool known = false;
    struct stat state;
    const QList<QByteArray> saved = readFrom(stateDirectory() + QLatin1Char('/') + Position, 0, &state).split(' ');
    struct stat log;
    qint64 offset = 0;
    if (saved.size() == 2) {
        offset = saved.at(1).trimmed().toLongLong(&known);
    }
    QByteArray content = readFrom(DpkgLog, 0, &log);
    if (!known || saved.at(0).toULongLong() != quint64(log.st_ino) || offset > content.size()) {
        offset = 0; // a new or rotated log
    }
    m_position = QByteArray::number(quint64(log.st_ino)) + ' ' + QByteArray::number(content.size()) + '\n';
    static const QRegularExpression installed(
        QStringLiteral("^\\S+ \\S+ status installed ([a-z0-9][a-z0-9+.-]*)(?::([a-z0-9-]+))? \\S+$"), QRegularExpression::MultilineOption);
    QSet<QString> packages;
    auto lines = installed.globalMatch(QString::fromUtf8(content.mid(int(offset))));
    while (lines.hasNext() && packages.size() < MaxPackages) {
        const QRegularExpressionMatch line = lines.next();
        packages.insert(line.captured(1) + (line.captured(2).isEmpty() ? QString() : QLatin1Char(':') + line.captured(2)));
    }
    return packages;
}

QStringList UpdateCheck::packageFiles(const QString &package) const
{
    struct stat status;
    QByteArray list = readFrom(DpkgInfo + package + QStringLiteral(".list"), 0, &status);
    if (list.isEmpty()) {
        list = readFrom(DpkgInfo + package.section(QLatin1Char(':'), 0, 0) + QStringLiteral(".list"), 0, &status);
    }
    QStringList files;
    for (const QByteArray &line : list.split('\n')) {
        const QString path = QString::fromUtf8(line);
        if (path.startsWith(QLatin1Char('/')) && path.size() <= ScanRules::MaxPathLength) {
            files.append(path);
        }
    }
    return files;
}

bool UpdateCheck::add(const CheckedFile &file)
{
    if (file.verdict == SignatureVerdict::Runs) {
        return true;
    }
    ++m_problems;
    m_report += jsonLine(file);
    return write(QStringLiteral("digsig-check: %1: no good signature (ELF %2, xattr %3)\n")
                     .arg(PathText::visible(file.path), stateName(file.elf), stateName(file.xattr)));
}

bool UpdateCheck::end(VerificationModeId mode)
{
    Q_UNUSED(mode)
    if (m_problems > 0) {
        write(QStringLiteral("%1 programs installed by this update have no good signature; they will not start after the next boot\n").arg(m_problems));
    }
    const QString directory = stateDirectory();
    struct stat status;
    if (lstat(QFile::encodeName(directory).constData(), &status) != 0) {
        mkdir(QFile::encodeName(directory).constData(), 0755);
    } else if (!S_ISDIR(status.st_mode)) {
        return false;
    }
    // A report with no problems is kept too: the module shows only the latest.
    return saveAtomically(directory + QLatin1Char('/') + Report, m_report.toUtf8()) && saveAtomically(directory + QLatin1Char('/') + Position, m_position);
}

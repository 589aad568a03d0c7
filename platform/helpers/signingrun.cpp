#include "signingrun.h"

#include "argumentcheck.h"
#include "atomicfile.h"
#include "boundedprocess.h"
#include "helperenvironment.h"
#include "keyactions.h"
#include "nofollowopen.h"
#include "settingswriter.h"
#include "signingkeys.h"
#include "signingpool.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryFile>

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <vector>

namespace {
// bsign's own exit codes for a refused file.
const int permissionDenied = 1;
const int fileNotFound = 2;
const int invalidArgument = 22;
const int writableByOthers = 71;
// Far larger than any X authority file.
const qint64 MaxXauthorityBytes = 64 * 1024;

QString fileListProblem(const QStringList &files, const QString &what)
{
    if (files.size() > SigningRun::MaxFiles) {
        return QStringLiteral("Too many %1: %2, at most %3").arg(what).arg(files.size()).arg(SigningRun::MaxFiles);
    }
    for (const QString &file : files) {
        QString problem = ArgumentCheck::absolutePathProblem(file);
        if (problem.isEmpty()) {
            // A line break in a path would add lines of its own to xattr_control.
            problem = ArgumentCheck::controlCharacterProblem(file);
        }
        if (!problem.isEmpty()) {
            return QStringLiteral("Invalid entry of %1: %2").arg(what, problem);
        }
    }
    return QString();
}

// Root's pinentry may only reach a local X server.
QString displayProblem(const QString &display)
{
    static const QRegularExpression localDisplay(QStringLiteral("\\A(:[0-9]{1,5}(\\.[0-9]{1,5})?)?\\z"));
    return localDisplay.match(display).hasMatch() ? QString() : QStringLiteral("DISPLAY is not a local display such as \":0\"");
}

int refusalCode(NoFollowOpen::Refusal refusal)
{
    switch (refusal) {
    case NoFollowOpen::Missing:
        return fileNotFound;
    case NoFollowOpen::Denied:
        return permissionDenied;
    case NoFollowOpen::WritableByOthers:
        return writableByOthers;
    default:
        return invalidArgument;
    }
}

QString kindArgument(int mode)
{
    static const QStringList kinds {QStringLiteral("elf"), QStringLiteral("xattr"), QStringLiteral("both")};
    return kinds.at(mode);
}

QVariantMap fileRecord(const QString &key, const QString &file, int value)
{
    return {{key, QVariantMap {{file, value}}}};
}

// The template of @p path, looked at through a descriptor; empty for a link, a missing path or "/".
QByteArray templateOf(const QString &path)
{
    if (NoFollowOpen::isBelowBlockingMount(path)) {
        return QByteArray();
    }
    const NoFollowOpen::Descriptor entry = NoFollowOpen::open(path, O_PATH);
    struct stat status
    {
    };
    if (path == QLatin1String("/") || !entry.isValid() || fstat(entry.fd(), &status) != 0 || S_ISLNK(status.st_mode)) {
        return QByteArray();
    }
    const QByteArray name = QFile::encodeName(path);
    return S_ISDIR(status.st_mode) ? QByteArray(name + '/') : QByteArray('/' + name);
}

// How many of the sorted @p files lie from @p from (inclusive) to @p to (exclusive), and how many of them are signed.
std::pair<int, int> filesBetween(const QStringList &files, const std::vector<int> &signedBefore, const QString &from, const QString &to)
{
    const int first = int(std::lower_bound(files.begin(), files.end(), from) - files.begin());
    const int end = int(std::lower_bound(files.begin(), files.end(), to) - files.begin());
    return {end - first, signedBefore[end] - signedBefore[first]};
}
}

QString SigningRun::parse(const QVariantMap &arguments, Request *request)
{
    if (!ArgumentCheck::textListValue(arguments.value(QStringLiteral("files")), &request->files)) {
        return QStringLiteral("\"files\" must be a list of paths");
    }
    QString problem = fileListProblem(request->files, QStringLiteral("files"));
    if (!problem.isEmpty()) {
        return problem;
    }
    if (!ArgumentCheck::textValue(arguments.value(QStringLiteral("key_id")), &request->keyId)) {
        return QStringLiteral("\"key_id\" must be a text");
    }
    problem = KeyActions::fingerprintProblem(request->keyId);
    if (!problem.isEmpty()) {
        return problem;
    }
    qint64 mode = -1;
    if (!ArgumentCheck::integerValue(arguments.value(QStringLiteral("mode")), &mode) || mode < 0 || mode > 2) {
        return QStringLiteral("\"mode\" must be 0, 1 or 2");
    }
    request->mode = int(mode);
    if (!ArgumentCheck::textValue(arguments.value(QStringLiteral("DISPLAY")), &request->display)
        || !ArgumentCheck::textValue(arguments.value(QStringLiteral("XAUTHORITY")), &request->xauthority)) {
        return QStringLiteral("\"DISPLAY\" and \"XAUTHORITY\" must be texts");
    }
    problem = displayProblem(request->display);
    if (!problem.isEmpty()) {
        return problem;
    }
    // Without "paths" the run adds no template; the module may send new ones through the settings.
    if (request->mode == 0 || !arguments.contains(QStringLiteral("paths"))) {
        return QString();
    }
    if (!ArgumentCheck::textListValue(arguments.value(QStringLiteral("paths")), &request->paths)) {
        return QStringLiteral("\"paths\" must be a list of paths");
    }
    return fileListProblem(request->paths, QStringLiteral("paths"));
}

// The caller's X authority file, found without links and only when it is a regular file of
// its own, is copied into a file of root's, 0600, which is what root's pinentry reads.
QString SigningRun::copyXauthority(const QString &xauthority, int callerUid, QTemporaryFile *copy)
{
    const QString problem = ArgumentCheck::absolutePathProblem(xauthority);
    if (!problem.isEmpty()) {
        return QStringLiteral("XAUTHORITY: %1").arg(problem);
    }
    NoFollowOpen::Refusal refusal = NoFollowOpen::Accepted;
    const NoFollowOpen::Descriptor file = NoFollowOpen::openRegularFile(xauthority, &refusal);
    struct stat status
    {
    };
    QFile original;
    if (!file.isValid() || fstat(file.fd(), &status) != 0 || int(status.st_uid) != callerUid || !original.open(file.fd(), QIODevice::ReadOnly)) {
        return QStringLiteral("XAUTHORITY is not a regular file of the calling user");
    }
    const QByteArray cookies = original.read(MaxXauthorityBytes + 1);
    copy->setFileTemplate(QStringLiteral("/tmp/orlis-kcm-digsig-xauth-XXXXXX"));
    if (cookies.size() > MaxXauthorityBytes || !copy->open() || copy->write(cookies) != cookies.size() || !copy->flush()) {
        return QStringLiteral("XAUTHORITY can not be copied for root's pinentry");
    }
    return QString();
}

HelperResult SigningRun::run(const HelperEnvironment &environment,
    const QVariantMap &arguments,
    int callerUid,
    const ProgressCallback &progress,
    const StopCheck &stopped,
    const KeyLookup &offeredKey)
{
    Request request;
    QString problem = parse(arguments, &request);
    QTemporaryFile xauthorityCopy;
    if (problem.isEmpty() && !request.xauthority.isEmpty()) {
        problem = copyXauthority(request.xauthority, callerUid, &xauthorityCopy);
        request.xauthority = xauthorityCopy.fileName();
    }
    const QString fingerprint = problem.isEmpty() ? offeredKey(request.keyId, &problem) : QString();
    if (!problem.isEmpty()) {
        return HelperResult::failure(problem);
    }
    request.keyId = fingerprint;
    QSet<QString> signedFiles;
    SigningPool pool(
        SigningPool::defaultWorkers(), BsignMilliseconds, [&](const QString &file) { return startBsign(environment, request, file, progress); },
        [&](const QString &file, BoundedProcess *bsign, bool timedOut) {
            if (reportBsign(file, bsign, timedOut, progress)) {
                signedFiles.insert(file);
            }
        },
        stopped);
    if (!pool.run(request.files)) {
        return HelperResult::failure(QStringLiteral("Signing cancelled"));
    }
    // The kernel's key directory and boot list change only for what this run signed.
    if (request.mode == 0 || signedFiles.isEmpty()) {
        return HelperResult::success();
    }
    exportSigningKey(environment, fingerprint, progress);
    const QString error = addTemplates(environment, fullySigned(request.paths, request.files, signedFiles));
    return error.isEmpty() ? HelperResult::success() : HelperResult::failure(error);
}

std::unique_ptr<BoundedProcess>
SigningRun::startBsign(const HelperEnvironment &environment, const Request &request, const QString &file, const ProgressCallback &progress)
{
    // bsign opens the file again the same way; this check spares it the files it would refuse.
    NoFollowOpen::Refusal refusal = NoFollowOpen::Accepted;
    if (!NoFollowOpen::openRegularFile(file, &refusal, NoFollowOpen::OwnerOnly).isValid()) {
        progress(fileRecord(QStringLiteral("file_finished"), file, refusalCode(refusal)));
        return nullptr;
    }

    QProcessEnvironment processEnvironment = environment.programEnvironment();
    if (!request.display.isEmpty()) {
        processEnvironment.insert(QStringLiteral("DISPLAY"), request.display);
    }
    if (!request.xauthority.isEmpty()) {
        processEnvironment.insert(QStringLiteral("XAUTHORITY"), request.xauthority);
    }
    auto bsign = std::make_unique<BoundedProcess>();
    bsign->setEnvironment(processEnvironment);
    if (!bsign->start(environment.bsignProgram(),
            {QStringLiteral("--sign"), QStringLiteral("--kind"), kindArgument(request.mode), QStringLiteral("--key"), request.keyId, QStringLiteral("--"),
                file})) {
        progress(fileRecord(QStringLiteral("file_error_occured"), file, QProcess::FailedToStart));
        return nullptr;
    }
    return bsign;
}

bool SigningRun::reportBsign(const QString &file, BoundedProcess *bsign, bool timedOut, const ProgressCallback &progress)
{
    if (timedOut) {
        progress(fileRecord(QStringLiteral("file_error_occured"), file, QProcess::Timedout));
    } else if (!bsign->exitedNormally()) {
        progress(fileRecord(QStringLiteral("file_error_occured"), file, QProcess::Crashed));
    } else {
        progress(fileRecord(QStringLiteral("file_finished"), file, bsign->exitCode()));
        return bsign->exitCode() == 0;
    }
    return false;
}

void SigningRun::exportSigningKey(const HelperEnvironment &environment, const QString &fingerprint, const ProgressCallback &progress)
{
    const QString error = SigningKeys::exportOffered(environment, fingerprint);
    progress({{QStringLiteral("export_result"),
        QVariantMap {{QStringLiteral("error_text"), error}, {QStringLiteral("path"), SigningKeys::exportPath(environment, fingerprint)},
            {QStringLiteral("key_id"), fingerprint}}}});
}

QStringList SigningRun::fullySigned(const QStringList &paths, const QStringList &files, const QSet<QString> &signedFiles)
{
    QStringList sorted = files;
    std::sort(sorted.begin(), sorted.end());
    std::vector<int> signedBefore(size_t(sorted.size()) + 1, 0);
    for (int i = 0; i < sorted.size(); ++i) {
        signedBefore[size_t(i) + 1] = signedBefore[size_t(i)] + (signedFiles.contains(sorted.at(i)) ? 1 : 0);
    }
    QStringList result;
    for (const QString &path : paths) {
        if (path == QLatin1String("/")) {
            continue;
        }
        // The path itself, then everything below it: names from "<path>/" up to "<path>0", '0' following '/'.
        const auto itself = filesBetween(sorted, signedBefore, path, path + QChar(0));
        const auto below = filesBetween(sorted, signedBefore, path + QLatin1Char('/'), path + QLatin1Char('0'));
        const int total = itself.first + below.first;
        if (total > 0 && itself.second + below.second == total) {
            result.append(path);
        }
    }
    return result;
}

QByteArray SigningRun::withTemplates(const QByteArray &current, const QStringList &paths)
{
    QSet<QByteArray> present;
    const QList<QByteArray> lines = current.split('\n');
    for (const QByteArray &line : lines) {
        present.insert(line.trimmed());
    }
    QByteArray result = current;
    for (const QString &path : paths) {
        const QByteArray entry = templateOf(path);
        if (entry.isEmpty() || present.contains(entry)) {
            continue;
        }
        if (!result.isEmpty() && !result.endsWith('\n')) {
            result += '\n';
        }
        result += entry + '\n';
        present.insert(entry);
    }
    return result;
}

QString SigningRun::addTemplates(const HelperEnvironment &environment, const QStringList &paths)
{
    if (paths.isEmpty()) {
        return QString();
    }
    QByteArray current;
    NoFollowOpen::Refusal refusal = NoFollowOpen::Accepted;
    const NoFollowOpen::Descriptor descriptor = NoFollowOpen::openRegularFile(environment.xattrControlPath(), &refusal);
    QFile file;
    if (refusal != NoFollowOpen::Missing) {
        if (!descriptor.isValid() || !file.open(descriptor.fd(), QIODevice::ReadOnly)) {
            return QStringLiteral("Can not open file %1").arg(environment.xattrControlPath());
        }
        current = file.read(SettingsWriter::MaxTemplateBytes + 1);
    }
    const QByteArray updated = withTemplates(current, paths);
    if (updated.size() > SettingsWriter::MaxTemplateBytes) {
        return QStringLiteral("The templates would grow beyond %1 bytes").arg(SettingsWriter::MaxTemplateBytes);
    }
    if (updated == current && refusal != NoFollowOpen::Missing) {
        return QString();
    }
    return AtomicFile::write(environment.xattrControlPath(), updated, AtomicFile::publicReadable());
}

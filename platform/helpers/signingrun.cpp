#include "signingrun.h"

#include "argumentcheck.h"
#include "atomicfile.h"
#include "boundedprocess.h"
#include "helperenvironment.h"
#include "keyactions.h"
#include "nofollowopen.h"
#include "settingswriter.h"
#include "signingpool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <fcntl.h>
#include <sys/stat.h>

namespace {
// bsign's own exit codes for a refused file.
const int permissionDenied = 1;
const int fileNotFound = 2;
const int invalidArgument = 22;

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

// The X authority file must be the caller's own: root's pinentry reads it.
QString xauthorityProblem(const QString &xauthority, int callerUid)
{
    if (xauthority.isEmpty()) {
        return QString();
    }
    const QString problem = ArgumentCheck::absolutePathProblem(xauthority);
    if (!problem.isEmpty()) {
        return QStringLiteral("XAUTHORITY: %1").arg(problem);
    }
    const NoFollowOpen::Descriptor file = NoFollowOpen::open(xauthority, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    struct stat status
    {
    };
    if (!file.isValid() || fstat(file.fd(), &status) != 0 || !S_ISREG(status.st_mode) || int(status.st_uid) != callerUid) {
        return QStringLiteral("XAUTHORITY is not a regular file of the calling user");
    }
    return QString();
}

int refusalCode(NoFollowOpen::Refusal refusal)
{
    switch (refusal) {
    case NoFollowOpen::Missing:
        return fileNotFound;
    case NoFollowOpen::Denied:
        return permissionDenied;
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

QString templateOf(const QFileInfo &info)
{
    if (info.isDir()) {
        return info.filePath() == QLatin1String("/") ? info.filePath() : info.filePath() + QLatin1Char('/');
    }
    return QLatin1Char('/') + info.filePath();
}
}

QString SigningRun::parse(const QVariantMap &arguments, int callerUid, Request *request)
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
    if (problem.isEmpty()) {
        problem = xauthorityProblem(request->xauthority, callerUid);
    }
    if (!problem.isEmpty()) {
        return problem;
    }
    // The module sends no "paths": it adds the signed files to the boot list itself, once the
    // administrator agrees to it.
    if (request->mode == 0 || !arguments.contains(QStringLiteral("paths"))) {
        return QString();
    }
    if (!ArgumentCheck::textListValue(arguments.value(QStringLiteral("paths")), &request->paths)) {
        return QStringLiteral("\"paths\" must be a list of paths");
    }
    return fileListProblem(request->paths, QStringLiteral("paths"));
}

HelperResult
SigningRun::run(const HelperEnvironment &environment, const QVariantMap &arguments, int callerUid, const ProgressCallback &progress, const StopCheck &stopped)
{
    Request request;
    const QString problem = parse(arguments, callerUid, &request);
    if (!problem.isEmpty()) {
        return HelperResult::failure(problem);
    }
    SigningPool pool(
        SigningPool::defaultWorkers(), BsignMilliseconds, [&](const QString &file) { return startBsign(environment, request, file, progress); },
        [&progress](const QString &file, BoundedProcess *bsign, bool timedOut) { reportBsign(file, bsign, timedOut, progress); }, stopped);
    if (!pool.run(request.files)) {
        return HelperResult::failure(QStringLiteral("Signing cancelled"));
    }
    if (request.mode == 0) {
        return HelperResult::success();
    }
    exportSigningKey(environment, request, progress);
    if (request.paths.isEmpty()) {
        return HelperResult::success();
    }
    const QString error = addTemplates(environment, request.paths);
    return error.isEmpty() ? HelperResult::success() : HelperResult::failure(error);
}

std::unique_ptr<BoundedProcess>
SigningRun::startBsign(const HelperEnvironment &environment, const Request &request, const QString &file, const ProgressCallback &progress)
{
    // bsign opens the file again the same way; this check spares it the files it would refuse.
    NoFollowOpen::Refusal refusal = NoFollowOpen::Accepted;
    if (!NoFollowOpen::openRegularFile(file, &refusal).isValid()) {
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

void SigningRun::reportBsign(const QString &file, BoundedProcess *bsign, bool timedOut, const ProgressCallback &progress)
{
    if (timedOut) {
        progress(fileRecord(QStringLiteral("file_error_occured"), file, QProcess::Timedout));
    } else if (!bsign->exitedNormally()) {
        progress(fileRecord(QStringLiteral("file_error_occured"), file, QProcess::Crashed));
    } else {
        progress(fileRecord(QStringLiteral("file_finished"), file, bsign->exitCode()));
    }
}

void SigningRun::exportSigningKey(const HelperEnvironment &environment, const Request &request, const ProgressCallback &progress)
{
    const QString keyDir = environment.xattrKeysDir();
    const QString path = keyDir + QLatin1Char('/') + request.keyId.toUpper() + QStringLiteral(".gpg");
    QString error;
    if (QFileInfo(keyDir).isSymLink() || (!QFileInfo(keyDir).isDir() && !QDir().mkpath(keyDir))) {
        error = QStringLiteral("Can not use directory %1").arg(keyDir);
    } else {
        error = KeyActions::exportToFile(environment, request.keyId, path);
    }
    progress({{QStringLiteral("export_result"),
        QVariantMap {{QStringLiteral("error_text"), error}, {QStringLiteral("path"), path}, {QStringLiteral("key_id"), request.keyId}}}});
}

QString SigningRun::withTemplates(const QString &current, const QStringList &paths)
{
    QStringList present;
    const QStringList lines = current.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        present.append(line.trimmed());
    }
    QString result = current;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (!info.exists() || info.isSymLink()) {
            continue;
        }
        const QString entry = templateOf(info);
        if (present.contains(entry)) {
            continue;
        }
        if (!result.isEmpty() && !result.endsWith(QLatin1Char('\n'))) {
            result += QLatin1Char('\n');
        }
        result += entry + QLatin1Char('\n');
        present.append(entry);
    }
    return result;
}

QString SigningRun::addTemplates(const HelperEnvironment &environment, const QStringList &paths)
{
    QString current;
    QFile file(environment.xattrControlPath());
    if (file.exists()) {
        if (!file.open(QIODevice::ReadOnly)) {
            return QStringLiteral("Can not open file %1: %2").arg(file.fileName(), file.errorString());
        }
        current = QString::fromUtf8(file.readAll());
        file.close();
    }
    const QByteArray updated = withTemplates(current, paths).toUtf8();
    if (updated.size() > SettingsWriter::MaxTemplateBytes) {
        return QStringLiteral("The templates would grow beyond %1 bytes").arg(SettingsWriter::MaxTemplateBytes);
    }
    if (updated == current.toUtf8() && file.exists()) {
        return QString();
    }
    return AtomicFile::write(environment.xattrControlPath(), updated, AtomicFile::publicReadable());
}

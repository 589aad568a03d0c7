#include "signingrun.h"

#include "argumentcheck.h"
#include "atomicfile.h"
#include "helperenvironment.h"
#include "keyactions.h"
#include "settingswriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

namespace {
// bsign's own exit codes for a missing file and a wrong argument.
const int fileNotFound = 2;
const int invalidArgument = 22;
const int maxDisplayLength = 256;

QString fileListProblem(const QStringList &files, const QString &what)
{
    if (files.size() > SigningRun::MaxFiles) {
        return QStringLiteral("Too many %1: %2, at most %3").arg(what).arg(files.size()).arg(SigningRun::MaxFiles);
    }
    for (const QString &file : files) {
        const QString problem = ArgumentCheck::absolutePathProblem(file);
        if (!problem.isEmpty()) {
            return QStringLiteral("Invalid entry of %1: %2").arg(what, problem);
        }
    }
    return QString();
}

QString displayProblem(const QString &display)
{
    static const QRegularExpression displayName(QStringLiteral("^[A-Za-z0-9._:/-]*$"));
    if (display.size() > maxDisplayLength || !displayName.match(display).hasMatch()) {
        return QStringLiteral("DISPLAY is not a display name");
    }
    return QString();
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
    problem = KeyActions::keyIdProblem(request->keyId);
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
    if (problem.isEmpty() && !request->xauthority.isEmpty()) {
        problem = ArgumentCheck::absolutePathProblem(request->xauthority);
    }
    if (!problem.isEmpty()) {
        return problem;
    }
    if (request->mode == 0) {
        return QString();
    }
    if (!ArgumentCheck::textListValue(arguments.value(QStringLiteral("paths")), &request->paths)) {
        return QStringLiteral("\"paths\" must be a list of paths");
    }
    return fileListProblem(request->paths, QStringLiteral("paths"));
}

HelperResult SigningRun::run(const HelperEnvironment &environment, const QVariantMap &arguments, const ProgressCallback &progress, const StopCheck &stopped)
{
    Request request;
    const QString problem = parse(arguments, &request);
    if (!problem.isEmpty()) {
        return HelperResult::failure(problem);
    }
    for (const QString &file : qAsConst(request.files)) {
        if (stopped()) {
            return HelperResult::failure(QStringLiteral("Signing cancelled"));
        }
        signFile(environment, request, file, progress);
    }
    if (request.mode == 0) {
        return HelperResult::success();
    }
    exportSigningKey(environment, request, progress);
    const QString error = addTemplates(environment, request.paths);
    return error.isEmpty() ? HelperResult::success() : HelperResult::failure(error);
}

void SigningRun::signFile(const HelperEnvironment &environment, const Request &request, const QString &file, const ProgressCallback &progress)
{
    const QFileInfo info(file);
    if (!info.exists() && !info.isSymLink()) {
        progress(fileRecord(QStringLiteral("file_finished"), file, fileNotFound));
        return;
    }
    if (info.isSymLink() || !info.isFile()) {
        progress(fileRecord(QStringLiteral("file_finished"), file, invalidArgument));
        return;
    }

    QProcessEnvironment processEnvironment = environment.programEnvironment();
    if (!request.display.isEmpty()) {
        processEnvironment.insert(QStringLiteral("DISPLAY"), request.display);
    }
    if (!request.xauthority.isEmpty()) {
        processEnvironment.insert(QStringLiteral("XAUTHORITY"), request.xauthority);
    }
    QProcess bsign;
    bsign.setProcessEnvironment(processEnvironment);
    bsign.setStandardInputFile(QProcess::nullDevice());
    bsign.setStandardOutputFile(QProcess::nullDevice());
    bsign.setStandardErrorFile(QProcess::nullDevice());
    bsign.start(environment.bsignProgram(),
        {QStringLiteral("--sign"), QStringLiteral("--kind"), kindArgument(request.mode), QStringLiteral("--key"), request.keyId, QStringLiteral("--"), file});
    // The agent may ask for the pass phrase, so there is no time limit.
    if (!bsign.waitForFinished(-1) || bsign.exitStatus() != QProcess::NormalExit) {
        progress(fileRecord(QStringLiteral("file_error_occured"), file, bsign.error()));
        return;
    }
    progress(fileRecord(QStringLiteral("file_finished"), file, bsign.exitCode()));
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

#include "signingdialog.h"
#include "ui_signingdialog.h"

#include "filteredtreeproxymodel.h"
#include "helpercall.h"
#include "helperjob.h"
#include "pathtext.h"
#include "realpath.h"
#include "treewalker.h"

#include <KLocalizedString>

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QSet>

namespace {
const char Domain[] = "orlis_kcm_digsig";
constexpr int SigningTimeout = 2147483647;
constexpr int EventIntervalMilliseconds = 10;
constexpr int ViewFlushMilliseconds = 50;

const QString FileFinishedKey = QStringLiteral("file_finished");
const QString FileErrorKey = QStringLiteral("file_error_occured");
const QString ExportResultKey = QStringLiteral("export_result");

// Ticked paths may overlap once resolved (/usr and /bin, a link and its file): each file
// is signed once.
QQueue<QString> withoutRepeats(const QQueue<QString> &queue)
{
    QQueue<QString> unique;
    unique.reserve(queue.size());
    QSet<QString> seen;
    seen.reserve(queue.size());
    for (const QString &file : queue) {
        if (!seen.contains(file)) {
            seen.insert(file);
            unique.enqueue(file);
        }
    }
    return unique;
}
}

SigningDialog::SigningDialog(const QString &keyId, const SelectedPaths &selectedPaths, Bsign::SignMode mode, bool saveLog, QWidget *parent)
    : QDialog(parent)
    , m_keyId(keyId)
    , m_mode(mode)
    , m_saveLog(saveLog)
    , m_ui(new Ui::SigningDialog)
{
    m_ui->setupUi(this);
    resolveSelectedPaths(selectedPaths);
    m_viewFlush.setSingleShot(true);
    m_viewFlush.setInterval(ViewFlushMilliseconds);
    connect(&m_viewFlush, &QTimer::timeout, this, &SigningDialog::flushView);
    m_ui->buttonBox->button(QDialogButtonBox::Ok)->setEnabled(false);
    m_ui->buttonBox->button(QDialogButtonBox::Cancel)->setEnabled(true);
}

SigningDialog::~SigningDialog()
{
    delete m_ui;
}

// Root refuses paths with links in them: /bin ticked on a merged-/usr system is walked and
// signed as /usr/bin. A path ticked both ways counts once, under its own name.
void SigningDialog::resolveSelectedPaths(const SelectedPaths &selectedPaths)
{
    QSet<QString> tickedAsThemselves;
    for (const auto &[path, isDirectory] : selectedPaths) {
        const QString real = RealPath::resolve(path);
        m_selectedPaths.emplace(real, isDirectory);
        if (real == path) {
            tickedAsThemselves.insert(real);
        } else {
            m_tickedAs.insert(real, path);
        }
    }
    for (const QString &real : qAsConst(tickedAsThemselves)) {
        m_tickedAs.remove(real);
    }
}

QString SigningDialog::shownName(const QString &file) const
{
    for (auto ticked = m_tickedAs.cbegin(); ticked != m_tickedAs.cend(); ++ticked) {
        if (ticked.key() != QLatin1String("/") && RealPath::isWithin(file, ticked.key())) {
            return i18nd(Domain, "%1 (as %2)", file, ticked.value() + file.mid(ticked.key().size()));
        }
    }
    return file;
}

// A link inside a ticked directory is never followed: what it leads to is signed only when
// it is ticked itself. Those that lead elsewhere are named in the log.
void SigningDialog::passOverLink(const QString &link)
{
    const QString target = RealPath::resolve(link);
    for (const auto &selected : m_selectedPaths) {
        if (RealPath::isWithin(target, selected.first)) {
            return;
        }
    }
    m_passedOverLinks.insert(link, target);
}

void SigningDialog::logPassedOverLinks()
{
    for (auto link = m_passedOverLinks.cbegin(); link != m_passedOverLinks.cend(); ++link) {
        addMessageToLog(i18nd(Domain, "Link \"%1\" passed over: it points to %2, outside the ticked paths.", PathText::visible(link.key()),
                            PathText::visible(link.value())),
            Bsign::FileNotFound);
    }
    m_passedOverLinks.clear();
}

bool SigningDialog::isCompleted() const
{
    return m_completed;
}

int SigningDialog::exec()
{
    QMetaObject::invokeMethod(this, &SigningDialog::preparationForSigningProcess, Qt::QueuedConnection);
    return QDialog::exec();
}

QStringList SigningDialog::signedTemplates() const
{
    QStringList templates;
    for (const auto &[path, isDirectory] : m_selectedPaths) {
        if (PathText::hasControlCharacter(path)) {
            continue;
        }
        if (!isDirectory) {
            if (m_signedFiles.contains(path)) {
                templates.append(QLatin1Char('/') + path);
            }
            continue;
        }
        const QString below = path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
        QStringList signedBelow;
        bool allSigned = true;
        for (const QString &file : m_files + m_leftOutFiles) {
            if (!file.startsWith(below)) {
                continue;
            }
            if (m_signedFiles.contains(file)) {
                signedBelow.append(QLatin1Char('/') + file);
            } else {
                allSigned = false;
            }
        }
        if (allSigned && !signedBelow.isEmpty()) {
            templates.append(below);
        } else {
            templates += signedBelow;
        }
    }
    return templates;
}

void SigningDialog::reject()
{
    // Once the run is over, closing the dialog only closes it: it cancels nothing.
    if (m_ended) {
        QDialog::reject();
        return;
    }
    m_completed = true;
    m_cancelled = true;
    stopRun(i18nd(Domain, "Cancelled."));
}

// The dialog stays open with what was done, and the log holds the run as far as it went.
void SigningDialog::stopRun(const QString &reason)
{
    if (m_job) {
        m_job->kill(KJob::EmitResult);
    }
    addMessageToLog(reason, Bsign::NoError);
    showSummary();
    if (m_saveLog) {
        createLogFile();
    }
    showFinalButtons();
}

void SigningDialog::showSummary()
{
    const int total = m_files.size();
    const int done = m_signedFiles.size();
    addMessageToLog(i18nd(Domain, "Summary: %1 of %2 files signed, %3 failed, %4 not attempted.", done, total, m_failedFiles, total - done - m_failedFiles),
        Bsign::NoError);
}

void SigningDialog::preparationForSigningProcess()
{
    appendToView(i18nd(Domain, "Create a list of files to sign..."));
    flushView();
    if (!checkSignaturePossible()) {
        return;
    }
    m_ui->progressBar->setMaximum(m_files.size());
    m_remaining = m_files.size();
    startSigned();
}

bool SigningDialog::checkSignaturePossible()
{
    m_files = parsingFilesFromPaths();
    // The list building keeps the loop running, so a cancel may have closed the dialog.
    if (m_cancelled) {
        return false;
    }
    logPassedOverLinks();
    leaveOutUnsafeFiles();
    if (!m_files.isEmpty()) {
        return true;
    }
    // Nothing will run: the progress bar stops its busy indication.
    m_ui->progressBar->setRange(0, 1);
    showFinalButtons();
    addMessageToLog(i18nd(Domain, "No files to sign."), Bsign::UnknownError);
    return false;
}

// A line break in a name sent for extended attributes would add a line of its own to the
// boot verification list; the helper refuses a run that holds such a name.
void SigningDialog::leaveOutUnsafeFiles()
{
    for (auto file = m_files.begin(); file != m_files.end();) {
        if (!PathText::hasControlCharacter(*file)) {
            ++file;
            continue;
        }
        addMessageToLog(i18nd(Domain, "File \"%1\" left out: its name contains a line break or another control character.", PathText::visible(*file)),
            Bsign::InvalidArgument);
        m_leftOutFiles.append(*file);
        file = m_files.erase(file);
    }
}

QQueue<QString> SigningDialog::parsingFilesFromPaths()
{
    QQueue<QString> queue;
    queue.reserve(static_cast<int>(m_selectedPaths.size()));
    // Events are let through at the start and then every few milliseconds, not per file:
    // the window stays live and a cancel is seen, while the walk keeps the file system's pace.
    QElapsedTimer sinceEvents;
    const auto keepResponsive = [&sinceEvents] {
        if (!sinceEvents.isValid() || sinceEvents.elapsed() >= EventIntervalMilliseconds) {
            QCoreApplication::processEvents();
            sinceEvents.restart();
        }
    };
    for (const auto &[path, isDirectory] : m_selectedPaths) {
        keepResponsive();
        if (m_cancelled) {
            break;
        }
        const QFileInfo info(path);
        if (isDirectory && info.isReadable()) {
            TreeWalker::walk(
                path,
                [&](const QString &file, bool isRegularFile) {
                    keepResponsive();
                    if (isRegularFile && m_mode == Bsign::ElfOnly) {
                        addFileToQueue(queue, QFileInfo(file));
                    } else if (isRegularFile) {
                        queue.enqueue(file);
                    }
                    return !m_cancelled;
                },
                [this](const QString &link) { passOverLink(link); });
        } else if (isDirectory) {
            addRootFileToQueue(queue, path, true);
        } else if (info.isReadable()) {
            addFileToQueue(queue, info);
        } else {
            addRootFileToQueue(queue, path, false);
        }
    }
    return withoutRepeats(queue);
}

void SigningDialog::addFileToQueue(QQueue<QString> &queue, const QFileInfo &info) const
{
    if (m_mode == Bsign::ElfOnly) {
        if (FilteredTreeProxyModel::isElf(info)) {
            queue.enqueue(info.filePath());
        }
        return;
    }
    if (info.isFile() && !info.isSymLink()) {
        queue.enqueue(info.filePath());
    }
}

void SigningDialog::addRootFileToQueue(QQueue<QString> &queue, const QString &path, bool isDirectory) const
{
    if (isDirectory) {
        addDirectoryListingToQueue(queue, path);
        return;
    }
    if (m_mode == Bsign::ElfOnly) {
        if (FilteredTreeProxyModel::isElf(path)) {
            queue.enqueue(path);
        }
        return;
    }
    const auto entry = m_selectedPaths.find(path);
    if (entry != m_selectedPaths.end() && !entry->second) {
        queue.enqueue(path);
    }
}

// A directory this process cannot read: the helper lists the files below it.
void SigningDialog::addDirectoryListingToQueue(QQueue<QString> &queue, const QString &directory) const
{
    KAuth::Action action = HelperCall::action(QStringLiteral("%1.setupsigning"), HelperCall::DigsigNamespace);
    action.addArgument(QStringLiteral("get_dir_iter"), directory);
    HelperJob *job = HelperCall::execute(action);
    if (!job->exec()) {
        qDebug() << job->errorString();
        return;
    }
    const QVariantMap files = job->data();
    if (files.isEmpty()) {
        qDebug() << "ERROR GET ROOT PATHS";
        return;
    }
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const bool selected = m_mode == Bsign::ElfOnly ? FilteredTreeProxyModel::isElf(it.key()) : it.value().toBool();
        if (selected) {
            queue.enqueue(it.key());
        }
    }
}

KAuth::Action SigningDialog::actionWithDataSigned() const
{
    KAuth::Action action = HelperCall::action(QStringLiteral("%1.setupsigning"), HelperCall::DigsigNamespace, SigningTimeout);
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    action.setArguments({
        {QStringLiteral("signing_process"), QString()},
        {QStringLiteral("files"), QStringList(m_files)},
        {QStringLiteral("key_id"), m_keyId},
        {QStringLiteral("mode"), static_cast<int>(m_mode)},
        {QStringLiteral("DISPLAY"), environment.value(QStringLiteral("DISPLAY"))},
        {QStringLiteral("XAUTHORITY"), environment.value(QStringLiteral("XAUTHORITY"))},
    });
    // No "paths": the boot verification list changes only when the administrator agrees to it
    // after the run, and only by the files that were signed.
    return action;
}

void SigningDialog::startSigned()
{
    m_job = HelperCall::executeLong(actionWithDataSigned(), i18nd(Domain, "Signing files…"));
    m_job->setParent(this);
    m_job->setAutoDelete(false);
    connect(m_job, &HelperJob::newData, this, &SigningDialog::parsingDataFromHelper);
    // Queued, so that every record delivered before the end is handled first.
    connect(m_job, &KJob::finished, this, &SigningDialog::onSigningJobFinished, Qt::QueuedConnection);
    m_job->start();
}

void SigningDialog::parsingDataFromHelper(const QVariantMap &data)
{
    if (data.isEmpty()) {
        return;
    }
    const QVariantMap record = data.first().toMap();
    if (data.contains(FileFinishedKey) || data.contains(FileErrorKey)) {
        // A record about a file names exactly one file; anything else is malformed.
        if (record.isEmpty()) {
            return;
        }
        const QString file = record.firstKey();
        const int value = record.first().toInt();
        if (data.contains(FileFinishedKey)) {
            onSigningFileFinished(file, static_cast<Bsign::ReturnValue>(value));
        } else {
            onErrorFileSigningOccurred(file, static_cast<QProcess::ProcessError>(value));
        }
    } else if (data.contains(ExportResultKey)) {
        const QString errorText = record.value(QStringLiteral("error_text")).toString();
        const QString path = record.value(QStringLiteral("path")).toString();
        const QString keyId = record.value(QStringLiteral("key_id")).toString();
        if (errorText.isEmpty()) {
            onKeyExported(keyId, path);
        } else {
            onKeyExportError(keyId, path, errorText);
        }
    }
}

void SigningDialog::onKeyExported(const QString &keyID, const QString &path)
{
    addMessageToLog(i18nd(Domain, "Key with ID %1 successfully exported to %2", keyID, path), Bsign::NoError);
}

void SigningDialog::onKeyExportError(const QString &keyID, const QString &path, const QString &error)
{
    addMessageToLog(i18nd(Domain, "Can not export key with ID %1 to %2", keyID, path), Bsign::UnknownError);
    addMessageToLog(error, Bsign::UnknownError);
}

void SigningDialog::onSigningFileFinished(const QString &file, Bsign::ReturnValue value)
{
    m_ui->progressBar->setValue(m_ui->progressBar->value() + 1);
    switch (value) {
    case Bsign::NoError:
        m_signedFiles.insert(file);
        addMessageToLog(i18nd(Domain, "File \"%1\" signed successfully.", shownName(file)), Bsign::NoError);
        checkRemainingFiles();
        break;
    case Bsign::FileNotFound:
        ++m_failedFiles;
        addMessageToLog(i18nd(Domain, "Warning: file %1 not found", shownName(file)), Bsign::FileNotFound);
        checkRemainingFiles();
        break;
    case Bsign::BadPassPhrase:
        // The pass phrase was refused or its prompt cancelled: every further file would ask again.
        ++m_failedFiles;
        addMessageToLog(i18nd(Domain, "%1 signing error: %2", shownName(file), Bsign::returnValueToString(value)), value);
        if (!m_ended) {
            m_completed = true;
            stopRun(i18nd(Domain, "Signing stopped: the pass phrase was refused or cancelled by the user."));
        }
        break;
    default:
        ++m_failedFiles;
        addMessageToLog(i18nd(Domain, "%1 signing error: %2", shownName(file), Bsign::returnValueToString(value)), value);
        break;
    }
}

void SigningDialog::onErrorFileSigningOccurred(const QString &file, QProcess::ProcessError error)
{
    m_ui->progressBar->setValue(m_ui->progressBar->value() + 1);
    ++m_failedFiles;
    addMessageToLog(
        i18nd(Domain, "Process error occurred when sigsing file %1: %2", shownName(file), QString::number(static_cast<int>(error))), Bsign::UnknownError);
}

void SigningDialog::checkRemainingFiles()
{
    --m_remaining;
    if (m_remaining != 0) {
        return;
    }
    addMessageToLog(i18nd(Domain, "Signing completed."), Bsign::NoError);
    m_completed = true;
    if (m_saveLog) {
        createLogFile();
    }
    appendToView(i18nd(Domain, "Finished."));
    showFinalButtons();
}

void SigningDialog::onSigningJobFinished(KJob *job)
{
    if (!job->errorString().isEmpty()) {
        qWarning("Error code %s, text: \"%s\"!", QByteArray::number(job->error()).constData(), job->errorString().toLocal8Bit().constData());
    }
    showFinalButtons();
}

void SigningDialog::addMessageToLog(QString message, Bsign::ReturnValue value)
{
    if (m_saveLog) {
        m_logLines.append(message);
    }
    message.prepend(prefixOf(value));
    appendToView(message);
}

void SigningDialog::createLogFile()
{
    appendToView(i18nd(Domain, "Log file is being created..."));
    KAuth::Action action = HelperCall::action(QStringLiteral("%1.logging"), HelperCall::DigsigNamespace);
    action.addArgument(QStringLiteral("log"), m_logLines);
    HelperJob *job = HelperCall::execute(action);
    if (!job->exec()) {
        appendToView(i18nd(Domain, "Failed to write log file"));
    }
}

// Lines reach the view in batches: one append of many lines costs about as much as one
// of a single line, and a run of a hundred thousand files sends as many records.
void SigningDialog::appendToView(const QString &line)
{
    m_pendingViewLines.append(line);
    // Between two flushes at most twice what the view keeps is held.
    const int kept = m_ui->logPlainTextEdit->maximumBlockCount();
    if (kept > 0 && m_pendingViewLines.size() >= 2 * kept) {
        m_pendingViewLines.erase(m_pendingViewLines.begin(), m_pendingViewLines.begin() + kept);
    }
    if (!m_viewFlush.isActive()) {
        m_viewFlush.start();
    }
}

void SigningDialog::flushView()
{
    m_viewFlush.stop();
    if (m_pendingViewLines.isEmpty()) {
        return;
    }
    // The view keeps only its last lines; older ones would be laid out only to be dropped.
    const int kept = m_ui->logPlainTextEdit->maximumBlockCount();
    if (kept > 0 && m_pendingViewLines.size() > kept) {
        m_pendingViewLines.erase(m_pendingViewLines.begin(), m_pendingViewLines.end() - kept);
    }
    m_ui->logPlainTextEdit->appendPlainText(m_pendingViewLines.join(QLatin1Char('\n')));
    m_pendingViewLines.clear();
}

void SigningDialog::showFinalButtons()
{
    flushView();
    m_ended = true;
    m_ui->buttonBox->button(QDialogButtonBox::Ok)->setEnabled(true);
    m_ui->buttonBox->button(QDialogButtonBox::Cancel)->setEnabled(false);
}

QString SigningDialog::prefixOf(Bsign::ReturnValue value)
{
    switch (value) {
    case Bsign::NoError:
        return QStringLiteral("[OK] ");
    case Bsign::FileNotFound:
        return QLatin1Char('[') + i18nd(Domain, "Warning") + QStringLiteral("] ");
    default:
        return QLatin1Char('[') + i18nd(Domain, "Error") + QStringLiteral("] ");
    }
}

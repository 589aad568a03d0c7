#include "checkrun.h"

#include "bsignrun.h"

#include <cstdio>

namespace {
constexpr int ProgressIntervalMilliseconds = 250;
// Files found but not yet checked are compacted away in batches of this size.
constexpr int CompactAfter = 4096;
}

CheckRun::CheckRun(FileWalk *walk, ReportWriter *writer, const RootPath &root, VerificationModeId mode, int jobs, QObject *parent)
    : QObject(parent)
    , m_walk(walk)
    , m_writer(writer)
    , m_root(root)
    , m_mode(mode)
    , m_jobs(jobs)
{
    m_walkTimer.setSingleShot(true);
    connect(&m_walkTimer, &QTimer::timeout, this, &CheckRun::walkStep);
    m_progressTimer.setInterval(ProgressIntervalMilliseconds);
    connect(&m_progressTimer, &QTimer::timeout, this, &CheckRun::showProgress);
}

CheckRun::~CheckRun()
{
    qDeleteAll(m_running);
}

void CheckRun::setNeeded(const QSet<QString> &needed)
{
    m_needed = needed;
}

void CheckRun::setProgressShown(bool shown)
{
    m_progressShown = shown;
}

void CheckRun::start()
{
    m_clock.start();
    m_walking = true;
    if (!m_writer->begin()) {
        stop(QStringLiteral("the report cannot be written"));
        return;
    }
    if (m_progressShown) {
        m_progressTimer.start();
    }
    m_walkTimer.start(0);
}

void CheckRun::stop(const QString &why)
{
    if (m_done) {
        return;
    }
    qDeleteAll(m_running);
    m_running.clear();
    m_walking = false;
    m_walkTimer.stop();
    fprintf(stderr, "%sdigsig-check: stopped: %s\n", m_progressShown ? "\n" : "", qPrintable(why));
    m_exitStatus = 2;
    m_done = true;
    Q_EMIT finished();
}

int CheckRun::exitStatus() const
{
    return m_exitStatus;
}

void CheckRun::walkStep()
{
    FileWalk::File file;
    FileWalk::Step step = FileWalk::Found;
    // Walk ahead of the checks: the number of files is then known for the time left.
    for (int found = 0; found < 256 && step == FileWalk::Found; ++found) {
        step = m_walk->next(&file);
        if (step == FileWalk::Found) {
            m_waiting.append(file);
        }
    }
    m_walking = step != FileWalk::Done;
    if (m_walking) {
        m_walkTimer.start(0);
    }
    startChecks();
    finishIfDone();
}

void CheckRun::startChecks()
{
    while (!m_done && m_running.size() < m_jobs && m_nextWaiting < m_waiting.size()) {
        const FileWalk::File &file = m_waiting.at(m_nextWaiting++);
        m_isElf.insert(file.path, file.isElf);
        auto run = new BsignRun(file.path, m_root.outside(file.path));
        connect(run, &BsignRun::ended, this, &CheckRun::checkEnded, Qt::QueuedConnection);
        m_running.append(run);
        run->begin();
    }
    if (m_nextWaiting >= CompactAfter) {
        m_waiting.remove(0, m_nextWaiting);
        m_nextWaiting = 0;
    }
}

void CheckRun::checkEnded(BsignRun *run)
{
    if (!m_running.removeOne(run)) {
        return;
    }
    const BsignReport report = run->report();
    CheckedFile checked;
    checked.path = run->path();
    checked.elf = report.elf;
    checked.xattr = report.xattr;
    checked.keyId = report.keyId;
    // A file that is not ELF can carry only the signature in extended attributes.
    checked.isElf = m_isElf.take(checked.path);
    checked.verdict = SignatureVerdict::judge(report.elf, report.xattr, checked.isElf ? m_mode : VerificationModeId::OnlyXattr);
    checked.needed = m_needed.contains(checked.path);
    run->deleteLater();
    ++m_checked;
    if (checked.verdict != SignatureVerdict::Runs) {
        m_exitStatus = 1;
    }
    if (!m_writer->add(checked)) {
        stop(QStringLiteral("the report cannot be written"));
        return;
    }
    startChecks();
    finishIfDone();
}

void CheckRun::showProgress()
{
    const int found = m_checked + m_running.size() + (m_waiting.size() - m_nextWaiting);
    const double seconds = qMax<qint64>(1, m_clock.elapsed()) / 1000.0;
    const double rate = m_checked / seconds;
    QString line = QStringLiteral("\r%1 of %2%3 files checked, %4 files/s")
                       .arg(m_checked)
                       .arg(found)
                       .arg(m_walking ? QStringLiteral("+") : QString())
                       .arg(rate, 0, 'f', 1);
    if (rate > 0) {
        line += QStringLiteral(", about %1 s left").arg(qRound((found - m_checked) / rate));
    }
    fprintf(stderr, "%s\033[K", qPrintable(line));
    fflush(stderr);
}

void CheckRun::finishIfDone()
{
    if (m_done || m_walking || !m_running.isEmpty() || m_nextWaiting < m_waiting.size()) {
        return;
    }
    m_done = true;
    m_progressTimer.stop();
    if (m_progressShown) {
        showProgress();
        fprintf(stderr, "\n");
    }
    if (!m_writer->end(m_mode)) {
        m_exitStatus = 2;
    }
    Q_EMIT finished();
}

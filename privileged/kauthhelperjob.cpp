#include "kauthhelperjob.h"

#include <KAuth/ExecuteJob>

#include <QDeadlineTimer>
#include <QHash>
#include <QQueue>
#include <QTimer>

namespace
{
// KAuth's helper announces an action's end before it stops counting itself busy, and it
// processes events in between; a call arriving then is lost. The next call therefore
// waits a moment after an answer.
constexpr int SettleTime = 50;

// The job a helper works on, the jobs waiting for it in order, and when it answered last.
struct HelperLine {
    KAuth::ExecuteJob *running = nullptr;
    QQueue<QPointer<KAuthHelperJob>> waiting;
    QDeadlineTimer settled;
};

QHash<QString, HelperLine> &helperLines()
{
    static QHash<QString, HelperLine> lines;
    return lines;
}
}

KAuthHelperJob::KAuthHelperJob(KAuth::ExecuteJob *job, QObject *parent)
    : HelperJob(parent)
    , m_job(job)
    , m_helperId(job->action().helperId())
{
    // The inner job outlives this one when this one is killed: it still has to see the
    // helper's answer before the next job for the helper may start.
    m_job->setAutoDelete(false);
    connect(m_job, &KAuth::ExecuteJob::newData, this, &HelperJob::newData);
    connect(m_job, &KJob::result, this, &KAuthHelperJob::takeResult);
    const QString helperId = m_helperId;
    KAuth::ExecuteJob *inner = m_job;
    connect(m_job, &KJob::result, m_job, [inner, helperId]() {
        helperAnswered(inner, helperId);
    });
}

KAuthHelperJob::~KAuthHelperJob()
{
    if (!m_job) {
        return;
    }
    if (isHandedTheHelper() && m_waiting) {
        // Given the helper but gone before starting: pass the helper on.
        helperAnswered(m_job, m_helperId);
    } else if (!isHandedTheHelper()) {
        m_job->deleteLater();
    }
}

void KAuthHelperJob::start()
{
    m_waiting = true;
    HelperLine &line = helperLines()[m_helperId];
    if (line.running) {
        line.waiting.enqueue(this);
        return;
    }
    line.running = m_job;
    if (line.settled.hasExpired()) {
        startInner();
    } else {
        QTimer::singleShot(line.settled.remainingTime(), this, &KAuthHelperJob::startInner);
    }
}

void KAuthHelperJob::startInner()
{
    if (!m_waiting) {
        return; // killed meanwhile
    }
    m_waiting = false;
    m_job->start();
}

bool KAuthHelperJob::isHandedTheHelper() const
{
    return helperLines().value(m_helperId).running == m_job;
}

bool KAuthHelperJob::doKill()
{
    if (m_waiting) {
        m_waiting = false;
        helperLines()[m_helperId].waiting.removeAll(this);
        if (isHandedTheHelper()) {
            helperAnswered(m_job, m_helperId);
        }
        return true;
    }
    // KAuth raises the helper's stop flag; the helper ends the action at its next look
    // at it and answers then. This job reports the kill itself, right away.
    disconnect(m_job, nullptr, this, nullptr);
    return m_job->kill(KJob::Quietly);
}

void KAuthHelperJob::takeResult(KJob *job)
{
    setError(job->error());
    setErrorText(job->errorText());
    setData(m_job->data());
    emitResult();
}

void KAuthHelperJob::helperAnswered(KAuth::ExecuteJob *job, const QString &helperId)
{
    HelperLine &line = helperLines()[helperId];
    if (line.running != job) {
        return;
    }
    line.running = nullptr;
    line.settled.setRemainingTime(SettleTime);
    job->deleteLater();
    while (!line.waiting.isEmpty()) {
        QPointer<KAuthHelperJob> next = line.waiting.dequeue();
        if (next) {
            // Started from the event loop, never from inside KAuth's delivery of the answer:
            // a job started there never ends either.
            line.running = next->m_job;
            QTimer::singleShot(SettleTime, next, &KAuthHelperJob::startInner);
            return;
        }
    }
}

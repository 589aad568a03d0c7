#include "kauthhelperjob.h"

#include <KAuth/ActionReply>
#include <KAuth/ExecuteJob>

#include <QCoreApplication>
#include <QDBusPendingCallWatcher>
#include <QDebug>
#include <QDir>
#include <QHash>
#include <QPluginLoader>
#include <QQueue>
#include <QTimer>

namespace {
// D-Bus's default for a call, which KAuth uses for actions that set no timeout.
constexpr int DefaultCallTimeout = 25000;

// KAuth's client object that sends the helpers' calls: the root instance of its helper
// plugin. Each call's watcher is a child of it while the call is unanswered.
QObject *findKAuthHelperProxy()
{
    const QStringList libraryPaths = QCoreApplication::libraryPaths();
    for (const QString &path : libraryPaths) {
        for (const char *directory : {"kauth/helper", "kf5/kauth/helper"}) {
            const QString file = QDir(path).filePath(QLatin1String(directory) + QStringLiteral("/kauth_helper_plugin.so"));
            if (!QFile::exists(file)) {
                continue;
            }
            QObject *instance = QPluginLoader(file).instance();
            if (instance && instance->inherits("KAuth::HelperProxy")) {
                return instance;
            }
        }
    }
    qDebug() << "KAuth's helper proxy was not found; helper calls are not told apart from their answers";
    return nullptr;
}
}

// The helpers' lines of jobs, and the D-Bus call of each started inner job.
class HelperLines : public QObject
{
public:
    static HelperLines &instance()
    {
        static HelperLines lines;
        return lines;
    }

    // Queues the job when its helper is taken (and says so); else hands it the helper and
    // starts it.
    bool enqueue(KAuthHelperJob *job)
    {
        Line &line = m_lines[job->m_helperId];
        if (line.running) {
            line.waiting.enqueue(job);
            return true;
        }
        line.running = job->m_job;
        job->startInner();
        return false;
    }

    void dequeue(KAuthHelperJob *job) { m_lines[job->m_helperId].waiting.removeAll(job); }

    KAuth::ExecuteJob *running(const QString &helperId) const { return m_lines.value(helperId).running; }

    void watch(KAuth::ExecuteJob *inner, KAuthHelperJob *outer)
    {
        m_calls.insert(inner, Call {outer, outer->m_helperId});
        connect(inner, &KJob::result, this, [this, inner]() {
            m_unseen.removeAll(inner);
            Call &call = m_calls[inner];
            call.resulted = true;
            // No call went out (the job failed before it) or its answer is in: the helper is free.
            if (!call.watcher || call.answered) {
                release(inner);
            }
        });
        if (m_proxy) {
            m_unseen.enqueue(inner);
        }
    }

    // Passes the helper on after a job that never got to send its call.
    void release(KAuth::ExecuteJob *inner)
    {
        const Call call = m_calls.take(inner);
        m_unseen.removeAll(inner);
        const QString helperId = call.helperId.isEmpty() ? inner->action().helperId() : call.helperId;
        Line &line = m_lines[helperId];
        if (line.running != inner) {
            return;
        }
        line.running = nullptr;
        inner->deleteLater();
        while (!line.waiting.isEmpty()) {
            QPointer<KAuthHelperJob> next = line.waiting.dequeue();
            if (next) {
                line.running = next->m_job;
                // Started from the event loop, never from inside KAuth's delivery of an answer.
                QTimer::singleShot(0, next, &KAuthHelperJob::startInner);
                return;
            }
        }
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::ChildAdded && watched == m_proxy && !m_unseen.isEmpty()) {
            // Calls go out in the order the jobs were started; the child is not built yet.
            KAuth::ExecuteJob *inner = m_unseen.dequeue();
            QObject *child = static_cast<QChildEvent *>(event)->child();
            m_calls[inner].watcher = child;
            QTimer::singleShot(0, this, [this, inner, child = QPointer<QObject>(child)]() { followCall(inner, child); });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    struct Line
    {
        KAuth::ExecuteJob *running = nullptr;
        QQueue<QPointer<KAuthHelperJob>> waiting;
    };
    struct Call
    {
        QPointer<KAuthHelperJob> outer;
        QString helperId;
        QPointer<QObject> watcher;
        bool resulted = false;
        bool answered = false;
    };

    HelperLines()
        : m_proxy(findKAuthHelperProxy())
    {
        if (m_proxy) {
            m_proxy->installEventFilter(this);
        }
    }

    void followCall(KAuth::ExecuteJob *inner, const QPointer<QObject> &child)
    {
        if (!m_calls.contains(inner)) {
            return;
        }
        auto watcher = qobject_cast<QDBusPendingCallWatcher *>(child.data());
        if (!watcher || watcher->isFinished()) {
            callAnswered(inner);
            return;
        }
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, inner]() { callAnswered(inner); });
    }

    void callAnswered(KAuth::ExecuteJob *inner)
    {
        if (!m_calls.contains(inner)) {
            return;
        }
        m_calls[inner].answered = true;
        // The result is broadcast before the call is answered and delivered before it.
        QTimer::singleShot(0, this, [this, inner]() {
            if (!m_calls.contains(inner)) {
                return;
            }
            const Call call = m_calls.value(inner);
            if (!call.resulted && call.outer) {
                call.outer->failLostCall();
            }
            release(inner);
        });
    }

    QPointer<QObject> m_proxy;
    QHash<QString, Line> m_lines;
    QHash<KAuth::ExecuteJob *, Call> m_calls;
    // Started jobs whose call has not been seen yet, in start order.
    QQueue<KAuth::ExecuteJob *> m_unseen;
};

KAuthHelperJob::KAuthHelperJob(KAuth::ExecuteJob *job, QObject *parent)
    : HelperJob(parent)
    , m_job(job)
    , m_helperId(job->action().helperId())
{
    // The inner job outlives this one when this one is killed: the helper's answer to it
    // still has to arrive before the next job for the helper may start.
    m_job->setAutoDelete(false);
    connect(m_job, &KAuth::ExecuteJob::newData, this, &HelperJob::newData);
    connect(m_job, &KJob::result, this, &KAuthHelperJob::takeResult);
}

KAuthHelperJob::~KAuthHelperJob()
{
    if (!m_job) {
        return;
    }
    if (isHandedTheHelper() && m_waiting) {
        // Given the helper but gone before starting: pass the helper on.
        HelperLines::instance().release(m_job);
    } else if (!isHandedTheHelper()) {
        HelperLines::instance().dequeue(this);
        m_job->deleteLater();
    }
}

void KAuthHelperJob::start()
{
    m_waiting = true;
    if (HelperLines::instance().enqueue(this)) {
        QTimer::singleShot(waitLimit(), this, &KAuthHelperJob::giveUpWaiting);
    }
}

// A job waits in line no longer than it may run.
int KAuthHelperJob::waitLimit() const
{
    const int timeout = m_job ? m_job->action().timeout() : -1;
    return timeout > 0 ? timeout : DefaultCallTimeout;
}

void KAuthHelperJob::giveUpWaiting()
{
    if (!m_waiting || isHandedTheHelper()) {
        return;
    }
    m_waiting = false;
    HelperLines::instance().dequeue(this);
    setError(KAuth::ActionReply::HelperBusyError);
    setErrorText(QStringLiteral("The helper %1 stayed busy with another action for %2 ms; this one was not run").arg(m_helperId).arg(waitLimit()));
    emitResult();
}

void KAuthHelperJob::startInner()
{
    if (!m_waiting) {
        return; // killed meanwhile
    }
    m_waiting = false;
    HelperLines::instance().watch(m_job, this);
    m_job->start();
}

bool KAuthHelperJob::isHandedTheHelper() const
{
    return HelperLines::instance().running(m_helperId) == m_job;
}

bool KAuthHelperJob::doKill()
{
    if (m_waiting) {
        m_waiting = false;
        HelperLines::instance().dequeue(this);
        if (isHandedTheHelper()) {
            HelperLines::instance().release(m_job);
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

void KAuthHelperJob::failLostCall()
{
    if (isFinished()) {
        return; // killed, and told so already
    }
    disconnect(m_job, nullptr, this, nullptr);
    setError(KAuth::ActionReply::HelperBusyError);
    setErrorText(QStringLiteral("The helper %1 was busy with another action and did not run this one").arg(m_helperId));
    emitResult();
}

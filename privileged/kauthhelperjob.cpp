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
#include <QUuid>

#include <algorithm>

namespace {
// D-Bus's default for a call, which KAuth uses for actions that set no timeout.
constexpr int DefaultCallTimeout = 25000;
// How soon a call that the helper answered as busy goes out again.
constexpr int BusyRetryMilliseconds = 200;
// Without KAuth's helper proxy the helper's answer to a call cannot be seen: the line passes
// on this long after the result, which the helper broadcasts just before it stops counting
// itself busy.
constexpr int UnseenAnswerMilliseconds = 100;

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
    qDebug() << "KAuth's helper proxy was not found; helper calls are told apart by their order alone";
    return nullptr;
}

KAuth::ActionReply replyOf(const QDBusMessage &message)
{
    if (message.type() == QDBusMessage::ReplyMessage && !message.arguments().isEmpty()) {
        return KAuth::ActionReply::deserialize(message.arguments().constFirst().toByteArray());
    }
    KAuth::ActionReply failure = KAuth::ActionReply::DBusErrorReply();
    failure.setErrorDescription(message.errorMessage());
    return failure;
}
}

const QString KAuthHelperJob::CallIdKey = QStringLiteral("call_id");
const QString KAuthHelperJob::HeartbeatKey = QStringLiteral("heartbeat");

// The helpers' lines of jobs and the D-Bus calls of their ExecuteJobs. A helper is free once
// no job holds it and the helper has answered the last call sent to it.
class HelperLines : public QObject
{
    Q_OBJECT
public:
    static HelperLines &instance()
    {
        static HelperLines lines;
        return lines;
    }

    bool seesCalls() const { return m_proxy; }

    // Hands the job its helper when the line is free, else queues it.
    void enqueue(KAuthHelperJob *job)
    {
        Line &line = m_lines[job->m_helperId];
        if (isFree(line)) {
            line.holder = job;
            job->send();
        } else {
            line.waiting.enqueue(job);
        }
    }

    void dequeue(KAuthHelperJob *job) { m_lines[job->m_helperId].waiting.removeAll(job); }

    // The job is done with its helper (the helper may still be answering its last call).
    void leave(KAuthHelperJob *job)
    {
        Line &line = m_lines[job->m_helperId];
        line.waiting.removeAll(job);
        if (line.holder == job) {
            line.holder = nullptr;
            passOn(job->m_helperId);
        }
    }

    quint64 open(KAuthHelperJob *job, KAuth::ExecuteJob *inner)
    {
        const quint64 serial = ++m_lastSerial;
        m_calls.insert(serial, Call {job, inner, job->m_helperId});
        m_lines[job->m_helperId].openCall = serial;
        if (m_proxy) {
            m_unseen.enqueue(serial);
        }
        return serial;
    }

    // The call has its result, but the helper's answer to it cannot be seen.
    void closeSoon(quint64 serial)
    {
        QTimer::singleShot(UnseenAnswerMilliseconds, this, [this, serial]() { close(serial); });
    }

    // The job wants the call no more. One not sent yet is cancelled; one sent is left to be
    // answered, but its line is given back at once.
    void drop(quint64 serial)
    {
        if (!m_calls.contains(serial)) {
            return;
        }
        Call &call = m_calls[serial];
        if (!call.sent || !m_proxy) {
            close(serial);
            return;
        }
        call.job = nullptr;
        Line &line = m_lines[call.helperId];
        if (line.openCall == serial) {
            line.openCall = 0;
        }
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::ChildAdded && watched == m_proxy && !m_unseen.isEmpty()) {
            // Calls go out in the order the ExecuteJobs were started; the child is not built yet.
            const quint64 serial = m_unseen.dequeue();
            m_calls[serial].sent = true;
            QPointer<QObject> child = static_cast<QChildEvent *>(event)->child();
            QTimer::singleShot(0, this, [this, serial, child]() { follow(serial, child); });
        }
        return QObject::eventFilter(watched, event);
    }

private Q_SLOTS:
    // Every helper's result of every caller arrives here; only the call in flight with its
    // own id, or one that failed before it went out, is taken.
    void broadcast(const QString &actionName, const KAuth::ActionReply &reply)
    {
        for (auto it = m_calls.cbegin(); it != m_calls.cend(); ++it) {
            const QPointer<KAuthHelperJob> job = it->job;
            if (!job || job->m_call != it.key() || job->m_action.name() != actionName) {
                continue;
            }
            const quint64 serial = it.key();
            const bool sent = it->sent;
            const QString id = reply.data().value(KAuthHelperJob::CallIdKey).toString();
            if (id == job->m_callId || (id.isEmpty() && !sent)) {
                job->takeReply(reply);
            }
            if (!sent && id.isEmpty()) {
                close(serial); // it failed before a call went out
            }
            return;
        }
    }

private:
    struct Call
    {
        QPointer<KAuthHelperJob> job;
        QPointer<KAuth::ExecuteJob> inner;
        QString helperId;
        bool sent = false;
    };
    struct Line
    {
        QPointer<KAuthHelperJob> holder;
        quint64 openCall = 0;
        QQueue<QPointer<KAuthHelperJob>> waiting;
    };

    HelperLines()
        : m_proxy(findKAuthHelperProxy())
    {
        if (m_proxy) {
            m_proxy->installEventFilter(this);
            connect(m_proxy, SIGNAL(actionPerformed(QString, KAuth::ActionReply)), this, SLOT(broadcast(QString, KAuth::ActionReply)));
        }
    }

    static bool isFree(const Line &line) { return !line.holder && line.openCall == 0; }

    void passOn(const QString &helperId)
    {
        Line &line = m_lines[helperId];
        while (isFree(line) && !line.waiting.isEmpty()) {
            QPointer<KAuthHelperJob> next = line.waiting.dequeue();
            if (next) {
                line.holder = next;
                // Sent from the event loop, never from inside KAuth's delivery of an answer.
                QTimer::singleShot(0, next, [next]() { next->send(); });
            }
        }
    }

    void follow(quint64 serial, const QPointer<QObject> &child)
    {
        auto watcher = qobject_cast<QDBusPendingCallWatcher *>(child.data());
        if (!watcher) {
            answered(serial, nullptr);
        } else if (watcher->isFinished()) {
            const QDBusMessage message = watcher->reply();
            answered(serial, &message);
        } else {
            connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, serial, watcher]() {
                const QDBusMessage message = watcher->reply();
                answered(serial, &message);
            });
        }
    }

    // The helper answered the call itself: that answer is the call's own, whatever was broadcast.
    void answered(quint64 serial, const QDBusMessage *message)
    {
        const Call call = m_calls.value(serial);
        if (call.job && call.job->m_call == serial) {
            if (message) {
                call.job->takeReply(replyOf(*message));
            } else {
                call.job->finish(KAuth::ActionReply::HelperBusyError,
                    QStringLiteral("The helper %1 answered the call without a result; it was busy with another action").arg(call.helperId));
            }
        }
        close(serial);
    }

    void close(quint64 serial)
    {
        if (!m_calls.contains(serial)) {
            return;
        }
        const Call call = m_calls.take(serial);
        m_unseen.removeAll(serial);
        if (call.inner) {
            call.inner->deleteLater();
        }
        Line &line = m_lines[call.helperId];
        if (line.openCall == serial) {
            line.openCall = 0;
            passOn(call.helperId);
        }
    }

    QPointer<QObject> m_proxy;
    QHash<QString, Line> m_lines;
    QHash<quint64, Call> m_calls;
    quint64 m_lastSerial = 0;
    // Calls whose ExecuteJob started but whose D-Bus call has not been seen yet, in start order.
    QQueue<quint64> m_unseen;
};

KAuthHelperJob::KAuthHelperJob(const KAuth::Action &action, QObject *parent)
    : HelperJob(parent)
    , m_action(action)
    , m_helperId(action.helperId())
    , m_callId(QUuid::createUuid().toString(QUuid::WithoutBraces))
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &KAuthHelperJob::expire);
}

KAuthHelperJob::~KAuthHelperJob()
{
    if (m_state == State::Done) {
        return;
    }
    HelperLines::instance().drop(m_call);
    HelperLines::instance().leave(this);
}

void KAuthHelperJob::start()
{
    m_state = State::Waiting;
    m_deadline.start(waitLimit());
    HelperLines::instance().enqueue(this);
}

// Creates the ExecuteJob now that this job holds its helper: created earlier, it would take
// the answers of the calls before it.
void KAuthHelperJob::send()
{
    if (m_state == State::Done) {
        return;
    }
    if (m_state == State::Waiting) {
        m_state = State::Running;
        m_deadline.start(isLong() ? silenceLimit() : timeLimit());
    }
    KAuth::Action action(m_action);
    action.addArgument(CallIdKey, m_callId);
    m_inner = action.execute(KAuth::Action::ExecuteMode);
    m_inner->setAutoDelete(false);
    connect(m_inner, &KAuth::ExecuteJob::newData, this, &KAuthHelperJob::takeRecord);
    if (!HelperLines::instance().seesCalls()) {
        connect(m_inner, &KJob::result, this, &KAuthHelperJob::takeInnerResult);
    }
    m_call = HelperLines::instance().open(this, m_inner);
    // The call goes out now, not from the event loop: a job killed meanwhile would still send
    // it. ExecuteJob::start() only schedules this slot.
    if (!QMetaObject::invokeMethod(m_inner, "doExecuteAction")) {
        m_inner->start();
    }
}

void KAuthHelperJob::takeRecord(const QVariantMap &record)
{
    const QVariant id = record.value(CallIdKey);
    if (m_state != State::Running || (id.isValid() && id.toString() != m_callId)) {
        return; // a record of another call of the same action
    }
    if (isLong()) {
        m_deadline.start(silenceLimit());
    }
    if (record.contains(HeartbeatKey)) {
        return;
    }
    QVariantMap own(record);
    own.remove(CallIdKey);
    Q_EMIT newData(own);
}

void KAuthHelperJob::takeReply(const KAuth::ActionReply &reply)
{
    if (reply.errorCode() == KAuth::ActionReply::HelperBusyError && m_deadline.remainingTime() > BusyRetryMilliseconds) {
        // The helper did not run the call: it goes out again, still holding the line.
        HelperLines::instance().drop(m_call);
        m_call = 0;
        m_inner = nullptr;
        QTimer::singleShot(BusyRetryMilliseconds, this, &KAuthHelperJob::send);
        return;
    }
    if (reply.failed()) {
        finish(reply.errorCode(), reply.errorDescription());
    } else {
        finish(0, QString(), reply.data());
    }
}

// Without the helper proxy only KAuth's ExecuteJob tells the outcome; the line keeps it the
// only call of its action from this process, and an echoed id of another call is not taken.
void KAuthHelperJob::takeInnerResult()
{
    const QString id = m_inner->data().value(CallIdKey).toString();
    if (!id.isEmpty() && id != m_callId) {
        qDebug() << "The reply of another call of" << m_action.name() << "was not taken";
        return;
    }
    finish(m_inner->error(), m_inner->errorText(), m_inner->data());
}

void KAuthHelperJob::finish(int error, const QString &text, const QVariantMap &data)
{
    if (m_state == State::Done) {
        return;
    }
    m_state = State::Done;
    m_deadline.stop();
    if (m_inner) {
        disconnect(m_inner, nullptr, this, nullptr);
    }
    QVariantMap own(data);
    own.remove(CallIdKey);
    setError(error);
    setErrorText(text);
    setData(own);
    if (!HelperLines::instance().seesCalls()) {
        HelperLines::instance().closeSoon(m_call);
    }
    HelperLines::instance().leave(this);
    emitResult();
}

void KAuthHelperJob::expire()
{
    QString text;
    if (m_state == State::Waiting) {
        text = QStringLiteral("The helper %1 stayed busy with another action for %2 ms; this one was not run").arg(m_helperId).arg(waitLimit());
    } else if (isLong()) {
        text = QStringLiteral("The helper %1 sent no sign of progress for %2 s; the action was given up").arg(m_helperId).arg(silenceLimit() / 1000);
    } else {
        text = QStringLiteral("The helper %1 did not answer within %2 ms").arg(m_helperId).arg(timeLimit());
    }
    HelperLines::instance().drop(m_call);
    finish(KAuth::ActionReply::HelperBusyError, text);
}

// A job waits in line, and runs, no longer than its action's timeout each.
int KAuthHelperJob::timeLimit() const
{
    const int timeout = m_action.timeout();
    return timeout > 0 ? timeout : DefaultCallTimeout;
}

// A long action's timeout may be days: in line it waits no longer than it may stay silent.
int KAuthHelperJob::waitLimit() const
{
    return isLong() ? std::min(timeLimit(), silenceLimit()) : timeLimit();
}

bool KAuthHelperJob::isLong() const
{
    return silenceLimit() > 0;
}

bool KAuthHelperJob::doKill()
{
    if (m_state == State::Running && m_inner) {
        // KAuth raises the helper's stop flag; the helper ends the action at its next look at it.
        m_inner->kill(KJob::Quietly);
    }
    m_state = State::Done;
    m_deadline.stop();
    HelperLines::instance().drop(m_call);
    HelperLines::instance().leave(this);
    return true;
}

#include "kauthhelperjob.moc"

#include "signingpool.h"

#include "boundedprocess.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <unistd.h>

SigningPool::SigningPool(int workers, int limitMilliseconds, Launcher launcher, Reporter reporter, StopCheck stopped)
    : m_workers(std::max(1, workers))
    , m_limitMilliseconds(limitMilliseconds)
    , m_launcher(std::move(launcher))
    , m_reporter(std::move(reporter))
    , m_stopped(std::move(stopped))
{
}

SigningPool::~SigningPool() = default;

int SigningPool::defaultWorkers()
{
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return int(std::clamp(online, 1L, 8L));
}

bool SigningPool::run(const QStringList &files)
{
    m_files = files;
    m_next = 0;
    QEventLoop loop;
    m_loop = &loop;
    QTimer poller;
    poller.setInterval(PollMilliseconds);
    connect(&poller, &QTimer::timeout, this, &SigningPool::poll);
    poller.start();
    QTimer::singleShot(0, this, &SigningPool::launchMore);
    loop.exec();
    m_loop = nullptr;
    return !m_stopping;
}

int SigningPool::allowedWorkers() const
{
    return m_firstSigned ? m_workers : 1;
}

void SigningPool::launchMore()
{
    int looked = 0;
    while (!m_stopping && m_next < m_files.size() && int(m_running.size()) < allowedWorkers()) {
        if (++looked > RefusalsPerTurn) {
            // A long run of refused files: let the stop request and the others be seen.
            QTimer::singleShot(0, this, &SigningPool::launchMore);
            return;
        }
        const QString file = m_files.at(m_next++);
        std::unique_ptr<BoundedProcess> process = m_launcher(file);
        if (!process) {
            continue;
        }
        BoundedProcess *started = process.get();
        connect(started, &BoundedProcess::finished, this, [this, started] { finish(started); });
        m_running.emplace_back(file, std::move(process));
    }
    quitWhenDone();
}

void SigningPool::finish(BoundedProcess *process)
{
    const auto entry = std::find_if(m_running.begin(), m_running.end(), [process](const auto &running) { return running.second.get() == process; });
    if (entry == m_running.end()) {
        return;
    }
    const bool timedOut = std::find(m_overdue.cbegin(), m_overdue.cend(), process) != m_overdue.cend();
    m_overdue.erase(std::remove(m_overdue.begin(), m_overdue.end(), process), m_overdue.end());
    m_reporter(entry->first, process, timedOut);
    m_firstSigned = true;
    // Deleted later: this runs inside one of the process's own signals.
    entry->second.release()->deleteLater();
    m_running.erase(entry);
    launchMore();
}

void SigningPool::poll()
{
    if (m_stopped()) {
        m_stopping = true;
        for (auto &running : m_running) {
            running.second->disconnect(this);
            running.second->killGroup();
        }
        m_running.clear();
        quitWhenDone();
        return;
    }
    for (const auto &running : m_running) {
        if (running.second->runningMilliseconds() > m_limitMilliseconds) {
            m_overdue.push_back(running.second.get());
        }
    }
    // Killing reports each through its finished signal, which changes the running list.
    const std::vector<BoundedProcess *> overdue = m_overdue;
    for (BoundedProcess *process : overdue) {
        process->killGroup();
    }
}

void SigningPool::quitWhenDone()
{
    if (m_running.empty() && (m_stopping || m_next >= m_files.size())) {
        if (m_loop) {
            m_loop->quit();
        }
    }
}

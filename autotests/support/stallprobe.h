#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <algorithm>

// Measures how long the event loop goes without running: a fast timer notes the longest
// gap between two of its ticks while the probe lives.
class StallProbe : public QObject
{
public:
    explicit StallProbe(QObject *parent = nullptr)
        : QObject(parent)
    {
        connect(&m_timer, &QTimer::timeout, this, &StallProbe::tick);
        m_timer.start(5);
        m_sinceLastTick.start();
    }

    qint64 longestStallMs() const { return std::max(m_longest, m_sinceLastTick.elapsed()); }

private:
    void tick() { m_longest = std::max(m_longest, m_sinceLastTick.restart()); }

    QTimer m_timer;
    QElapsedTimer m_sinceLastTick;
    qint64 m_longest = 0;
};

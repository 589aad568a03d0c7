#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// Measures how long the event loop goes without running: a fast timer notes the longest
// gap between two of its ticks while the probe lives.
class StallProbe : public QObject
{
public:
    explicit StallProbe(QObject *parent = nullptr);

    qint64 longestStallMs() const;

private:
    void tick();

    QTimer m_timer;
    QElapsedTimer m_sinceLastTick;
    qint64 m_longest = 0;
};

#include "stallprobe.h"

#include <algorithm>

namespace {
constexpr int TickInterval = 5;
}

StallProbe::StallProbe(QObject *parent)
    : QObject(parent)
{
    connect(&m_timer, &QTimer::timeout, this, &StallProbe::tick);
    m_timer.start(TickInterval);
    m_sinceLastTick.start();
}

qint64 StallProbe::longestStallMs() const
{
    return std::max(m_longest, m_sinceLastTick.elapsed());
}

void StallProbe::tick()
{
    m_longest = std::max(m_longest, m_sinceLastTick.restart());
}

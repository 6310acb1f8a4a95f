#include "session/MinimumTimer.h"

#include <QTimer>

#include <algorithm>

namespace vortal9 {

namespace {

int wholeMsUp(MinimumTimer::Clock::duration d)
{
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(d).count());
}

} // namespace

MinimumTimer::MinimumTimer(QObject *parent)
    : MinimumTimer([] { return Clock::now(); }, parent)
{
}

MinimumTimer::MinimumTimer(Now now, QObject *parent)
    : QObject(parent)
    , m_now(std::move(now))
    , m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, &MinimumTimer::onTimer);
}

void MinimumTimer::start()
{
    const auto interval = std::chrono::milliseconds(std::max(m_intervalMs, 0));
    m_deadline = m_now() + interval;
    arm(interval);
}

void MinimumTimer::start(int ms)
{
    m_intervalMs = ms;
    start();
}

void MinimumTimer::stop()
{
    m_timer->stop();
}

bool MinimumTimer::isActive() const
{
    return m_timer->isActive();
}

int MinimumTimer::remainingTime() const
{
    if (!isActive())
        return -1;
    return std::max(wholeMsUp(m_deadline - m_now()), 0);
}

void MinimumTimer::arm(Clock::duration remaining)
{
    m_timer->start(wholeMsUp(remaining));
}

void MinimumTimer::onTimer()
{
    const auto remaining = m_deadline - m_now();
    if (remaining > Clock::duration::zero()) {
        // Early: wait for the rest, at least one millisecond.
        arm(std::max<Clock::duration>(remaining, std::chrono::milliseconds(1)));
        return;
    }
    Q_EMIT timeout();
}

} // namespace vortal9

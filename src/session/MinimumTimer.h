// A single-shot timer for intervals that are minimums: timeout() never comes
// before the interval has passed on a steady clock.
//
// QTimer's precise timers may end a little early. On Windows they are
// multimedia timers that count whole milliseconds from a start rounded down
// to the millisecond, so a 300 ms interval can end after 299.1 ms (Wine does
// the same). Where the reader relies on a minimum (the pacing between feature
// reports, the quiet period before the keys come on), that is a fault. This
// timer keeps its own deadline on a steady clock; when the underlying timer
// ends before it, it is armed again for what remains (rounded up to whole
// milliseconds), and only then is timeout() emitted.
#pragma once

#include <QObject>

#include <chrono>
#include <functional>

class QTimer;

namespace vortal9 {

class MinimumTimer : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool active READ isActive)

public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    explicit MinimumTimer(QObject *parent = nullptr);
    // Tests: the clock that deadlines are kept on (the steady clock otherwise).
    MinimumTimer(Now now, QObject *parent);

    void setInterval(int ms) { m_intervalMs = ms; }
    int interval() const { return m_intervalMs; }

    // (Re)starts with the set interval, or with ms (which becomes the interval).
    void start();
    void start(int ms);
    void stop();
    bool isActive() const;
    // Milliseconds until timeout(), rounded up; -1 when not running.
    int remainingTime() const;

Q_SIGNALS:
    void timeout();

private:
    void onTimer();
    void arm(Clock::duration remaining);

    Now m_now;
    QTimer *m_timer;
    int m_intervalMs = 0;
    Clock::time_point m_deadline;
};

} // namespace vortal9

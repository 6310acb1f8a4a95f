// The minimum-interval timer: timeout() never comes before its interval has
// passed on its clock, however early the platform's timer ends.
//
// Linux's timers do not end early, so the early end is made here with a clock
// that runs at half speed: the platform timer then always ends when only half
// the interval has passed on the timer's clock. Under Wine (make windows-test)
// the real-clock cases meet the platform's own early ends.

#include "session/MinimumTimer.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>

#include <string>

using namespace vortal9;
using Clock = MinimumTimer::Clock;

namespace {

// A clock that runs at half the speed of the steady clock.
struct HalfSpeedClock
{
    Clock::time_point base = Clock::now();
    Clock::time_point now() const { return base + (Clock::now() - base) / 2; }
};

struct IntervalCase
{
    const char *name;
    int ms;
};

class SlowClockTest : public testing::TestWithParam<IntervalCase>
{
};

TEST_P(SlowClockTest, TimeoutComesOnceAndOnlyWhenTheIntervalHasPassedOnItsClock)
{
    HalfSpeedClock clock;
    MinimumTimer timer([&] { return clock.now(); }, nullptr);
    const int ms = GetParam().ms;
    Clock::time_point firedAt;
    int fired = 0;
    QObject::connect(&timer, &MinimumTimer::timeout, &timer, [&] {
        firedAt = clock.now();
        ++fired;
    });
    const auto started = clock.now();
    const auto realStart = Clock::now();
    timer.start(ms);
    ASSERT_TRUE(QTest::qWaitFor([&] { return fired > 0; }, 4 * ms + 1000));
    EXPECT_GE(firedAt - started, std::chrono::milliseconds(ms));
    // On the real clock that is twice the interval.
    EXPECT_GE(Clock::now() - realStart, std::chrono::milliseconds(2 * ms));
    EXPECT_FALSE(timer.isActive());
    QTest::qWait(ms + 20);
    EXPECT_EQ(fired, 1);
}

INSTANTIATE_TEST_SUITE_P(Intervals, SlowClockTest,
                         testing::Values(IntervalCase{"zero", 0}, IntervalCase{"short", 3}, IntervalCase{"odd", 7},
                                         IntervalCase{"longer", 60}),
                         [](const testing::TestParamInfo<IntervalCase> &info) { return std::string(info.param.name); });

TEST(MinimumTimerTest, WhileWaitingForTheRestItRunsAndCanBeStoppedOrRestarted)
{
    HalfSpeedClock clock;
    MinimumTimer timer([&] { return clock.now(); }, nullptr);
    QSignalSpy timeouts(&timer, &MinimumTimer::timeout);
    timer.setInterval(40);
    timer.start();
    EXPECT_EQ(timer.interval(), 40);

    // 50 ms of real time: the platform timer has ended, 25 ms have passed.
    QTest::qWait(50);
    EXPECT_EQ(timeouts.count(), 0);
    EXPECT_TRUE(timer.isActive());
    EXPECT_GT(timer.remainingTime(), 0);
    EXPECT_LE(timer.remainingTime(), 15);

    timer.stop();
    EXPECT_FALSE(timer.isActive());
    EXPECT_EQ(timer.remainingTime(), -1);
    QTest::qWait(80);
    EXPECT_EQ(timeouts.count(), 0);

    // A restart counts the whole interval again, from now.
    timer.start();
    QTest::qWait(50);
    const auto restarted = clock.now(); // before the start, which takes its own reading
    timer.start();
    ASSERT_TRUE(timeouts.wait(1000));
    EXPECT_GE(clock.now() - restarted, std::chrono::milliseconds(40));
    EXPECT_EQ(timeouts.count(), 1);
}

TEST(MinimumTimerTest, OnTheSteadyClockNoTimeoutIsEarly)
{
    // Intervals that start at every fraction of a millisecond: the ones that
    // a millisecond-counting platform timer ends early.
    MinimumTimer timer(nullptr);
    Clock::time_point started;
    int fired = 0;
    QObject::connect(&timer, &MinimumTimer::timeout, &timer, [&] {
        EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(timer.interval())) << timer.interval();
        ++fired;
    });
    int expected = 0;
    for (int round = 0; round < 6; ++round) {
        for (int ms : {1, 3, 16, 29}) {
            started = Clock::now();
            timer.start(ms);
            ++expected;
            ASSERT_TRUE(QTest::qWaitFor([&] { return fired == expected; }, 1000));
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}

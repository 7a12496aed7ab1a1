#include "link/Stopwatch.hpp"
#include "link/RealtimeLink.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

std::int64_t fakeNow = 0;
std::int64_t fakeClock() {
    return fakeNow;
}

constexpr std::int64_t ms = 1000000;

// Whole milliseconds the way the link's callers take them from a reading.
std::int32_t millis(const Stopwatch& watch) {
    return static_cast<std::int32_t>(watch.elapsedSeconds() * 1000.0);
}

class StopwatchTest : public testing::Test {
protected:
    void SetUp() override {
        fakeNow = 5'000'000'000'000;
        Stopwatch::clock = &fakeClock;
    }
    void TearDown() override { Stopwatch::clock = &Stopwatch::steadyNow; }
};

} // namespace

TEST_F(StopwatchTest, RunningReadsWholeMillisecondsSinceRestart) {
    Stopwatch watch;
    EXPECT_EQ(watch.elapsedSeconds(), 0.0) << "never restarted";
    fakeNow += 3600 * 1000 * ms;
    EXPECT_EQ(watch.elapsedSeconds(), 0.0) << "never restarted, however long";

    watch.restart();
    EXPECT_EQ(watch.elapsedSeconds(), 0.0);
    fakeNow += 1'500'000; // 1.5 ms
    EXPECT_EQ(watch.elapsedSeconds(), 0.001);
    fakeNow += 998'400'000; // 999.9 ms in all
    EXPECT_EQ(watch.elapsedSeconds(), 0.999);

    watch.restart();
    fakeNow += 2'001'500'000; // 2.0015 s
    EXPECT_EQ(watch.elapsedSeconds(), 2.001);
    EXPECT_EQ(millis(watch), 2001);
    EXPECT_GT(millis(watch), 2000) << "past the time-out threshold";

    // Through seconds as a double and back, 1001 whole milliseconds come out as 1000.
    watch.restart();
    fakeNow += 1001 * ms;
    EXPECT_EQ(millis(watch), 1000);
}

TEST_F(StopwatchTest, ResetStoppedReadsZeroForeverAndRestartCountsAgain) {
    Stopwatch watch;
    watch.restart();
    fakeNow += 700 * ms;
    watch.resetStopped();
    EXPECT_EQ(watch.elapsedSeconds(), 0.0);
    fakeNow += 100000 * ms;
    EXPECT_EQ(watch.elapsedSeconds(), 0.0);
    watch.restart();
    fakeNow += 42 * ms;
    EXPECT_EQ(millis(watch), 42);
    EXPECT_EQ(watch.lastResume, watch.start);
    EXPECT_EQ(watch.state, Stopwatch::Running);
}

TEST_F(StopwatchTest, PingTimerIsDueOnlyPastItsIntervalAndSaysWhen) {
    PingTimer timer;
    timer.set(0);
    EXPECT_FALSE(timer.due()) << "0 ms is not more than 0";
    EXPECT_EQ(timer.nanosUntilDue(), 1 * ms);
    fakeNow += 1 * ms;
    EXPECT_TRUE(timer.due());

    timer.set(2000);
    fakeNow += 2000 * ms + 999'999;
    EXPECT_FALSE(timer.due());
    EXPECT_EQ(timer.nanosUntilDue(), 1);
    fakeNow += 1;
    EXPECT_TRUE(timer.due());
    EXPECT_EQ(timer.nanosUntilDue(), 0);
}

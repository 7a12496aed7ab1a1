#include "link/Stopwatch.hpp"
#include "link/RealtimeLink.hpp"

#include <gtest/gtest.h>

namespace {

std::int64_t fakeNow = 5'000'000'000'000;
constexpr std::int64_t ms = 1000000;

} // namespace

TEST(Stopwatch, ReadsWholeMillisecondsWhileRunningAndZeroWhenStopped) {
    Stopwatch::clock = [] { return fakeNow; };
    Stopwatch watch;
    // Each row: restart (1) or reset stopped (2) or neither (0), run the fake clock, read seconds
    // and the whole milliseconds the time-out and the pong take from them.
    const std::tuple<int, std::int64_t, double, std::int32_t> rows[] = {
        {0, 3600 * 1000 * ms, 0.0, 0}, {1, 1'500'000, 0.001, 1}, {1, 999'900'000, 0.999, 999},
        {1, 1001 * ms, 1.001, 1000},   {2, 100000 * ms, 0.0, 0}, {1, 42 * ms, 0.042, 42}};
    for (const auto& [step, runNanos, seconds, callersMs] : rows) {
        step == 1 ? watch.restart() : step == 2 ? watch.resetStopped() : void();
        fakeNow += runNanos;
        EXPECT_EQ(watch.elapsedSeconds(), seconds) << runNanos;
        EXPECT_EQ(static_cast<std::int32_t>(watch.elapsedSeconds() * 1000.0), callersMs) << runNanos;
    }

    PingTimer timer; // due only once more than its interval has passed
    timer.set(2000);
    fakeNow += 2000 * ms + 999'999;
    EXPECT_FALSE(timer.due());
    EXPECT_EQ(timer.nanosUntilDue(), 1);
    fakeNow += 1;
    EXPECT_TRUE(timer.due() && timer.nanosUntilDue() == 0);
    Stopwatch::clock = &Stopwatch::steadyNow;
}

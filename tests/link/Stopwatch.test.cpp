#include "link/Stopwatch.hpp"
#include "link/RealtimeLink.hpp"

#include <gtest/gtest.h>

#include <tuple>

namespace {

std::int64_t fakeNow = 5'000'000'000'000;
constexpr std::int64_t ms = 1000000;

} // namespace

TEST(Stopwatch, ReadsWholeMillisecondsWhileRunningAndZeroWhenStopped) {
    Stopwatch::clock = [] { return fakeNow; };
    // Each row: restart the watch (and also reset it stopped), run the fake clock, then read it as
    // seconds and as the whole milliseconds the time-out and the pong take from it.
    const std::tuple<bool, bool, std::int64_t, double, std::int32_t> rows[] = {
        {false, false, 3600 * 1000 * ms, 0.0, 0}, // never restarted, however long
        {true, false, 0, 0.0, 0},
        {true, false, 1'500'000, 0.001, 1},
        {true, false, 999'900'000, 0.999, 999},
        {true, false, 2'001'500'000, 2.001, 2001},
        {true, false, 1001 * ms, 1.001, 1000}, // via seconds as a double, 1001 ms come out 1000
        {true, true, 100000 * ms, 0.0, 0},     // reset stopped reads zero forever
        {true, false, 42 * ms, 0.042, 42}};    // and a restart counts again
    Stopwatch watch;
    for (const auto& [restart, resetStopped, runNanos, seconds, callersMs] : rows) {
        if (restart)
            watch.restart();
        if (resetStopped)
            fakeNow += 700 * ms, watch.resetStopped();
        fakeNow += runNanos;
        EXPECT_EQ(watch.elapsedSeconds(), seconds) << runNanos;
        EXPECT_EQ(static_cast<std::int32_t>(watch.elapsedSeconds() * 1000.0), callersMs) << runNanos;
    }

    PingTimer timer; // due only once more than its interval has passed
    timer.set(0);
    EXPECT_EQ(timer.nanosUntilDue(), 1 * ms);
    fakeNow += 1 * ms;
    EXPECT_TRUE(timer.due());
    timer.set(2000);
    fakeNow += 2000 * ms + 999'999;
    EXPECT_FALSE(timer.due());
    EXPECT_EQ(timer.nanosUntilDue(), 1);
    fakeNow += 1;
    EXPECT_TRUE(timer.due() && timer.nanosUntilDue() == 0);
    Stopwatch::clock = &Stopwatch::steadyNow;
}

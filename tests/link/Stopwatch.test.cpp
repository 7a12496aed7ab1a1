#include "link/Stopwatch.hpp"

#include <gtest/gtest.h>

TEST(Stopwatch, ReadsWholeMillisecondsWhileRunningAndZeroWhenStopped) {
    static std::int64_t now = 5'000'000'000'000;
    constexpr std::int64_t ms = 1000000;
    Stopwatch::clock = [] { return now; };
    Stopwatch watch;
    // Restart (1), reset stopped (2) or neither, run, read seconds and the pong's whole milliseconds.
    using Row = std::tuple<int, std::int64_t, double, std::int32_t>;
    for (const auto& [step, run, seconds, callersMs] :
         {Row{0, 3600 * 1000 * ms, 0.0, 0}, Row{1, 1'500'000, 0.001, 1}, Row{1, 999'900'000, 0.999, 999},
          Row{1, 1001 * ms, 1.001, 1000}, Row{2, 100000 * ms, 0.0, 0}, Row{1, 42 * ms, 0.042, 42}}) {
        step == 1 ? watch.restart() : step == 2 ? watch.resetStopped() : void();
        now += run;
        EXPECT_EQ(watch.elapsedSeconds(), seconds) << run;
        EXPECT_EQ(static_cast<std::int32_t>(watch.elapsedSeconds() * 1000.0), callersMs) << run;
    }
}

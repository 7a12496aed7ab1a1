#pragma once

#include <cstdint>

// Elapsed time on the steady clock in whole milliseconds, read as seconds. No lock of its own.
struct Stopwatch {
    enum State : std::uint32_t { Running = 0, Stopped = 1, Paused = 2 };

    std::int64_t start = 0;
    std::int64_t stop = 0;
    std::uint32_t accumulatedMs = 0;
    std::int64_t lastResume = 0;
    std::uint32_t state = Stopped;

    // Seconds on a whole millisecond: running time since the last restart, the frozen span when
    // stopped, 0.0 for an unknown state.
    double elapsedSeconds() const;
    // Reads 0 from now on until restarted.
    void resetStopped();
    // Counts from 0 from now on.
    void restart();

    // Nanoseconds of the clock every stopwatch reads; the steady clock unless a test replaces it
    // before any thread starts.
    static std::int64_t (*clock)();
    static std::int64_t steadyNow();
};

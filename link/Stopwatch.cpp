#include "link/Stopwatch.hpp"

#include <chrono>

namespace {

// Whole milliseconds of a span, truncated toward zero like the integer division it is.
std::int64_t wholeMilliseconds(std::int64_t nanoseconds) {
    return nanoseconds / 1000000;
}

} // namespace

std::int64_t (*Stopwatch::clock)() = &Stopwatch::steadyNow;

std::int64_t Stopwatch::steadyNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double Stopwatch::elapsedSeconds() const {
    switch (state) {
    case Running:
        return static_cast<double>(wholeMilliseconds(clock() - start) + accumulatedMs) / 1000.0;
    case Stopped:
        return static_cast<double>(wholeMilliseconds(stop - start) + accumulatedMs) / 1000.0;
    case Paused:
        return static_cast<double>(accumulatedMs) / 1000.0;
    default:
        return 0.0;
    }
}

void Stopwatch::resetStopped() {
    accumulatedMs = 0;
    start = clock();
    stop = start;
    state = Stopped;
}

void Stopwatch::restart() {
    resetStopped();
    start = clock();
    lastResume = start;
    state = Running;
}

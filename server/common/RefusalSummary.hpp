#pragma once

#include <chrono>
#include <cstddef>
#include <string>

// Refusals of one kind from one peer, so that a flood cannot drown the log: the first refusal of a
// second is logged whole, the others only counted, and the count is logged once that second is over.
class RefusalSummary {
public:
    using Clock = std::chrono::steady_clock;

    // Whether this refusal gets a line of its own; otherwise it is counted for the summary.
    bool note(Clock::time_point now) {
        if (open_ && now - since_ < std::chrono::seconds(1)) {
            ++unlogged_;
            return false;
        }
        open_ = true;
        since_ = now;
        return true;
    }

    // The refusals counted but not logged in a second that is over by now (0: nothing to say);
    // the summary is then taken, and the next refusal is logged whole again.
    std::size_t due(Clock::time_point now) {
        if (!open_ || now - since_ < std::chrono::seconds(1))
            return 0;
        open_ = false;
        const std::size_t n = unlogged_;
        unlogged_ = 0;
        return n;
    }

    // Nothing counted and no second under way: the summary may be thrown away.
    bool idle() const { return !open_; }

    // "dropped 9,990 increments in the last second"
    static std::string line(std::size_t n, const std::string& what) {
        std::string digits = std::to_string(n);
        for (std::size_t at = digits.size(); at > 3; at -= 3)
            digits.insert(at - 3, ",");
        return "dropped " + digits + " " + what + " in the last second";
    }

private:
    bool open_ = false;
    Clock::time_point since_{};
    std::size_t unlogged_ = 0;
};

#pragma once

#include <array>
#include <chrono>
#include <cstddef>

// Timing decisions of a connection, kept apart from the sockets so they can be checked as tables.
namespace pacing {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A client handles about one packet per 20 ms, so the room broadcasts at most once per interval:
// a change that comes an interval or more after the previous broadcast goes at once, sooner ones
// wait for the interval to pass (and are merged meanwhile).
constexpr milliseconds broadcastInterval{100};

inline Clock::time_point nextBroadcast(Clock::time_point previous, Clock::time_point now,
                                       milliseconds interval = broadcastInterval) {
    return now - previous >= interval ? now : previous + interval;
}

// Increments one connection may make in any one second; more are a stuck button or a script.
constexpr std::size_t incrementsPerSecond = 10;

// A client names itself once per connection; a stream of names is a script.
constexpr std::size_t whoamisPerSecond = 10;

// Counts the events of the last second and says whether one more is allowed. A ring in place,
// since every connection holds two.
class RateLimit {
public:
    static constexpr std::size_t maxPerSecond = 16;
    explicit RateLimit(std::size_t perSecond = incrementsPerSecond)
        : limit_(perSecond < maxPerSecond ? perSecond : maxPerSecond) {}
    bool allow(Clock::time_point now) {
        while (count_ > 0 && now - recent_[first_] >= std::chrono::seconds(1)) {
            first_ = (first_ + 1) % maxPerSecond;
            --count_;
        }
        if (count_ >= limit_)
            return false;
        recent_[(first_ + count_++) % maxPerSecond] = now;
        return true;
    }

private:
    std::size_t limit_;
    std::array<Clock::time_point, maxPerSecond> recent_{};
    std::size_t first_ = 0, count_ = 0;
};

// A client pings every 2 s: three missed pings mean it is gone.
constexpr milliseconds idleLimit{6000};
// A client that has not taken a write for this long is not reading.
constexpr milliseconds writeStallLimit{10000};

// Why a connection is to be dropped now, or null. unread() gives the bytes waiting in the socket,
// asked only of an idle connection: they are not silence, a busy loop may just not have read them.
template <typename Unread>
const char* dropReason(Clock::duration sinceRead, Unread unread, bool writing, Clock::duration writingFor) {
    if (sinceRead >= idleLimit && unread() == 0)
        return "dropped: silent for 6 s";
    if (writing && writingFor >= writeStallLimit)
        return "dropped: not reading for 10 s";
    return nullptr;
}

// Queued bytes beyond which a connection counts as not reading (a full user list is under 9 MiB).
constexpr std::size_t maxQueuedBytes = 32u << 20;

} // namespace pacing

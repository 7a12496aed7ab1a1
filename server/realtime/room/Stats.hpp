#pragma once

#include "server/common/Metrics.hpp"

#include <array>
#include <cstdint>

namespace server {

// Each kind of refusal the log has a line for; the metrics count them under these names.
enum class Refused {
    Frame,          // a frame over 64 KiB
    Malformed,      // a malformed or unknown message, a name over 64 bytes
    Controls,       // a name holding control characters
    Whoamis,        // more than 10 whoami in a second
    IncrementRate,  // more than 10 increments in a second
    Backlog,        // too many increments waiting to be stored
    NotStored,      // the store failed or did not answer
    TotalFull,      // the total is at 65535
    CountFull,      // the user's count is at 65535
    UsersFull,      // 65535 users
    Connections,    // --max-connections
    PerAddress,     // --max-per-address
    ProxyHeader,    // a bad PROXY header, or one from an address that is not the balancer's
    Silent,         // nothing read for 6 s
    NotReading,     // not taking what it is sent
    OverlayRequest, // the overlay's port: a request it cannot parse, too large, or too slow
    Kinds
};

constexpr std::array<const char*, static_cast<std::size_t>(Refused::Kinds)> refusalNames = {
    "frame_too_large", "malformed",  "control_characters", "whoami_rate",
    "increment_rate",  "backlog",    "not_stored",         "total_full",
    "count_full",      "users_full", "max_connections",    "max_per_address",
    "proxy_header",    "silent",     "not_reading",        "overlay_request"};

// What this process has counted since it started, for the metrics.
struct Stats {
    std::uint64_t increments = 0; // applied by this process's commits
    std::uint64_t adminChanges = 0;
    std::uint64_t resyncs = 0;
    std::array<std::uint64_t, static_cast<std::size_t>(Refused::Kinds)> refusals{};
    metrics::Histogram commit; // an increment read to its commit done
    metrics::Histogram fanout; // a commit done to the last session's write handed to the kernel
    void refused(Refused kind) { ++refusals[static_cast<std::size_t>(kind)]; }
};

} // namespace server

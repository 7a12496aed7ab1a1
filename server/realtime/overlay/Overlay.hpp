#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The overlay for streaming software: what its HTTP port answers and the events of its stream.
namespace overlay {

// What a request asks for: the page, the event stream, the metrics (when served), a path we do not
// serve, or a method other than GET on one we do.
enum class Route { Page, Events, Metrics, NotFound, NotAllowed };
Route route(std::string_view method, std::string_view target, bool metrics = false);

// One user as the page shows it.
struct User {
    std::string id, name;
    std::uint16_t count = 0;
    bool online = false;
};

// A JSON string of any bytes: invalid UTF-8 becomes U+FFFD, so a name never breaks the page's parse.
std::string quoted(std::string_view text);

// One server-sent event is a head and a body, so that a body can be shared by every viewer. The
// head says whether the users are all of them rather than the changed ones, and in a viewer's
// first event the server's clock (ms since the epoch), which the page sets its own by.
std::string eventHead(bool full, std::optional<std::int64_t> nowMs = std::nullopt);
// The body: the total, the last increment's time (ms since the epoch, 0: never) and the users.
std::string eventBody(std::uint16_t total, std::int64_t lastMs, const std::vector<User>& users);

// Sent when nothing else was for a while: the page takes silence as a stream that is down.
constexpr std::string_view beat = "event: beat\ndata: {}\n\n";

// The page, with the bell inlined.
std::string_view page();

} // namespace overlay

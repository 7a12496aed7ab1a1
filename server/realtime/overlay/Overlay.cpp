#include "server/realtime/overlay/Overlay.hpp"

#include <cstdio>

namespace overlay {

Route route(std::string_view method, std::string_view target, bool metrics) {
    const auto path = target.substr(0, target.find('?'));
    const bool scrape = metrics && path == "/metrics";
    if (path != "/overlay" && path != "/overlay/events" && !scrape)
        return Route::NotFound;
    if (method != "GET")
        return Route::NotAllowed;
    return scrape ? Route::Metrics : path == "/overlay" ? Route::Page : Route::Events;
}

namespace {

// The length of the well-formed UTF-8 sequence at text[i], or 0 (overlong forms, surrogates and
// code points past U+10FFFF are not well formed).
std::size_t sequence(std::string_view text, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const unsigned char lead = at(0);
    std::size_t n = 0;
    unsigned char low = 0x80, high = 0xbf; // the second byte's range
    if (lead >= 0xc2 && lead <= 0xdf) {
        n = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        n = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        n = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    }
    if (n == 0 || i + n > text.size() || at(1) < low || at(1) > high)
        return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (at(k) < 0x80 || at(k) > 0xbf)
            return 0;
    return n;
}

} // namespace

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const std::size_t n = sequence(text, i);
            out.append(n ? text.substr(i, n) : "\xef\xbf\xbd");
            i += n ? n : 1;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out + "\"";
}

std::string eventHead(bool full, std::optional<std::int64_t> nowMs) {
    return std::string("data: {\"full\":") + (full ? "true," : "false,") +
           (nowMs ? "\"now\":" + std::to_string(*nowMs) + "," : "");
}

std::string eventBody(std::uint16_t total, std::int64_t lastMs, const std::vector<User>& users) {
    std::string data =
        "\"total\":" + std::to_string(total) + ",\"last\":" + std::to_string(lastMs) + ",\"users\":[";
    for (std::size_t i = 0; i < users.size(); ++i) {
        const auto& user = users[i];
        data += (i ? ",{\"id\":" : "{\"id\":") + quoted(user.id) + ",\"name\":" + quoted(user.name) +
                ",\"count\":" + std::to_string(user.count) +
                ",\"online\":" + (user.online ? "true}" : "false}");
    }
    return data + "]}\n\n";
}

} // namespace overlay

#include "link/RealtimeProtocol.hpp"
#include "tests/support/WireVectors.hpp"

#include <gtest/gtest.h>

namespace {

// A read message as text: its kind, the total or the list's count, and the entries it kept.
std::string readBytes(const std::string& bytes) {
    const char* const kinds[] = {"deathcount", "deathindex", "pong", "userstates", "unknown", "truncated"};
    sf::Packet packet;
    packet.append(bytes.data(), bytes.size());
    const RealtimeProtocol::ServerMessage message = RealtimeProtocol::read(packet);
    const int kind = static_cast<int>(message.kind);
    std::string text = kinds[kind] + (kind == 0 ? " " + std::to_string(message.total) : "");
    text += kind == 1 || kind == 3 ? " " + std::to_string(message.entries.size()) : "";
    for (const auto& entry : message.entries)
        text += " " + entry.userName + " " + entry.displayName + " " + std::to_string(entry.value);
    return text;
}

// Encodings by hand, so the tests do not lean on the writer they check.
std::string field(const std::string& text) {
    const auto n = static_cast<std::uint32_t>(text.size());
    return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)} + text;
}

std::string u16(std::uint16_t value) {
    return {char(value >> 8), char(value & 0xFF)};
}

} // namespace

TEST(RealtimeProtocol, WritesAndReadsEveryMessageAsTheSharedVectorsSay) {
    for (const auto& vector : wirevectors::all()) {
        const auto& f = vector.fields;
        std::string fields = f[0].text;
        for (std::size_t i = 1; i < f.size(); ++i)
            fields += " " + (f[i].isText ? f[i].text : std::to_string(f[i].number));
        if (vector.fromServer) {
            EXPECT_EQ(readBytes(vector.frame.substr(4)), fields) << vector.what;
            continue;
        }
        const std::vector<char> bytes = RealtimeProtocol::frame(
            f[0].text == "ping"        ? RealtimeProtocol::ping()
            : f[0].text == "increment" ? RealtimeProtocol::increment()
                                       : RealtimeProtocol::whoami(f[1].text, f[2].text));
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), vector.frame) << vector.what;
    }
}

TEST(RealtimeProtocol, NamesMatchAsExactBytesAndTruncatedPacketsAreRejectedWhole) {
    const std::string bob = field("bob") + field("Bob") + u16(1), two = field("userstates") + u16(2) + bob;
    std::vector<std::pair<std::string, std::string>> rows = {
        {field(std::string("pong\0", 5)), "unknown"},
        {"", "unknown"},
        {field("deathcount").substr(0, 9), "unknown"}, // a name running past the packet is none
        {field("pong") + field("extra") + u16(3) + "\x01", "pong"},
        {field("deathcount") + "\x01", "truncated"},
        {field("deathindex"), "truncated"},
        // A list shorter than its count keeps none of its entries, not even the whole first one.
        {two, "truncated"},
        {two + field("carol") + field("Carol"), "truncated"},
        {two + field("carol") + std::string(2, '\0'), "truncated"},
        {two + field("carolynne").substr(0, 7), "truncated"},
        {field("deathindex") + u16(1) + bob + "junk", "deathindex 1 bob Bob 1"}};
    for (const std::string name : {"Deathcount", "deathcounT", "deathcount ", "deathcounts", "deathcoun",
                                   "ping", "whoami", "increment", "PONG", ""})
        rows.push_back({field(name) + u16(5), "unknown"});
    for (const auto& [bytes, read] : rows)
        EXPECT_EQ(readBytes(bytes), read) << testing::PrintToString(bytes);
}

#include "link/RealtimeProtocol.hpp"
#include "tests/support/WireVectors.hpp"

#include <gtest/gtest.h>

using namespace std::string_literals;

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

// A text field by hand, so the rows do not lean on the writer under test.
std::string field(const std::string& text) {
    const auto n = static_cast<std::uint32_t>(text.size());
    return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)} + text;
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
    const std::string bob = field("bob") + field("Bob") + "\0\1"s, two = field("userstates") + "\0\2"s + bob;
    // A name running past the packet is none; extra fields are ignored; a list shorter than its
    // count keeps none of its entries, not even the whole first one.
    // clang-format off
    std::vector<std::pair<std::string, std::string>> rows = {
        {field("pong\0"s), "unknown"}, {"", "unknown"}, {field("deathcount").substr(0, 9), "unknown"},
        {field("pong") + field("extra") + "\1", "pong"}, {field("deathcount") + "\1", "truncated"},
        {field("deathindex"), "truncated"}, {two, "truncated"}, {two + field("carol") + field("Carol"), "truncated"},
        {two + field("carol") + "\0\0"s, "truncated"}, {two + field("carolynne").substr(0, 7), "truncated"},
        {field("deathindex") + "\0\1"s + bob + "junk", "deathindex 1 bob Bob 1"}};
    // clang-format on
    for (const std::string name : {"Deathcount", "deathcount ", "deathcoun", "ping", ""})
        rows.push_back({field(name) + "\0\5"s, "unknown"});
    for (const auto& [bytes, read] : rows)
        EXPECT_EQ(readBytes(bytes), read) << testing::PrintToString(bytes);
}

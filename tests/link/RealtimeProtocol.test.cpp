#include "link/RealtimeProtocol.hpp"
#include "tests/support/WireVectors.hpp"

#include <gtest/gtest.h>

#include <string>

using RealtimeProtocol::Kind;

namespace {

RealtimeProtocol::ServerMessage readBytes(const std::string& bytes) {
    sf::Packet packet;
    packet.append(bytes.data(), bytes.size());
    return RealtimeProtocol::read(packet);
}

// Field encodings written by hand, so the tests do not lean on the writer they check.
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
        const auto& fields = vector.fields;
        const std::string& name = fields[0].text;
        if (!vector.fromServer) {
            const sf::Packet packet = name == "ping" ? RealtimeProtocol::ping()
                                      : name == "increment"
                                          ? RealtimeProtocol::increment()
                                          : RealtimeProtocol::whoami(fields[1].text, fields[2].text);
            const std::vector<char> bytes = RealtimeProtocol::frame(packet);
            EXPECT_EQ(std::string(bytes.begin(), bytes.end()), vector.frame) << vector.what;
            continue;
        }
        const auto message = readBytes(vector.frame.substr(4));
        const Kind expected = name == "pong"         ? Kind::Pong
                              : name == "deathcount" ? Kind::DeathCount
                              : name == "deathindex" ? Kind::DeathIndex
                                                     : Kind::UserStates;
        ASSERT_EQ(message.kind, expected) << vector.what;
        if (expected == Kind::DeathCount) {
            EXPECT_EQ(message.total, fields[1].number) << vector.what;
        }
        if (expected == Kind::DeathIndex || expected == Kind::UserStates) {
            ASSERT_EQ(message.entries.size(), fields[1].number) << vector.what;
            for (std::size_t i = 0; i < message.entries.size(); ++i) {
                EXPECT_EQ(message.entries[i].userName, fields[2 + 3 * i].text) << vector.what;
                EXPECT_EQ(message.entries[i].displayName, fields[3 + 3 * i].text) << vector.what;
                EXPECT_EQ(message.entries[i].value, fields[4 + 3 * i].number) << vector.what;
            }
        }
    }
}

TEST(RealtimeProtocol, NamesMatchAsExactBytesAndTruncatedPacketsAreRejectedWhole) {
    const std::string first = field("bob") + field("Bob") + u16(1);
    const std::string userstates2 = field("userstates") + u16(2) + first;
    struct Row {
        std::string bytes;
        Kind kind;
    };
    std::vector<Row> rows = {
        {field(std::string("pong\0", 5)), Kind::Unknown},
        {"", Kind::Unknown},
        {field("deathcount").substr(0, 9), Kind::Unknown}, // a name running past the packet is none
        {field("pong") + field("extra") + u16(3) + "\x01", Kind::Pong}, // extra fields are ignored
        {field("deathcount"), Kind::Truncated},
        {field("deathcount") + "\x01", Kind::Truncated},
        {field("deathindex"), Kind::Truncated},
        // A list shorter than its count keeps none of its entries, not even the complete first one.
        {userstates2, Kind::Truncated},
        {userstates2 + field("carol"), Kind::Truncated},
        {userstates2 + field("carol") + field("Carol"), Kind::Truncated},
        {userstates2 + field("carol") + std::string(2, '\0'), Kind::Truncated},
        {userstates2 + field("carolynne").substr(0, 7), Kind::Truncated},
        {field("deathindex") + u16(1) + first + "junk", Kind::DeathIndex}, // unread bytes after a whole list
    };
    for (const std::string name : {"Deathcount", "deathcounT", "deathcount ", "deathcounts", "deathcoun",
                                   "ping", "whoami", "increment", "PONG", ""})
        rows.push_back({field(name) + u16(5), Kind::Unknown});
    for (const auto& row : rows) {
        const auto message = readBytes(row.bytes);
        EXPECT_EQ(message.kind, row.kind) << "row " << &row - rows.data();
        if (row.kind == Kind::Truncated) {
            EXPECT_TRUE(message.entries.empty()) << "row " << &row - rows.data();
        }
    }
}

#include "link/RealtimeProtocol.hpp"
#include "tests/support/WireVectors.hpp"

#include <gtest/gtest.h>

#include <string>

using RealtimeProtocol::Kind;

namespace {

std::string wire(const sf::Packet& packet) {
    const std::vector<char> bytes = RealtimeProtocol::frame(packet);
    return std::string(bytes.begin(), bytes.end());
}

std::string str(const char* bytes, std::size_t size) {
    return std::string(bytes, size);
}

RealtimeProtocol::ServerMessage readBytes(const std::string& bytes) {
    sf::Packet packet;
    packet.append(bytes.data(), bytes.size());
    return RealtimeProtocol::read(packet);
}

// Field encodings written by hand, so the tests do not lean on the writer they check.
std::string field(const std::string& text) {
    const auto n = static_cast<std::uint32_t>(text.size());
    std::string out{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                    static_cast<char>(n)};
    return out + text;
}

std::string u16(std::uint16_t value) {
    return {static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)};
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
            EXPECT_EQ(wire(packet), vector.frame) << vector.what;
            continue;
        }
        const auto message = readBytes(vector.frame.substr(4));
        const Kind expected = name == "pong"         ? Kind::Pong
                              : name == "deathcount" ? Kind::DeathCount
                              : name == "deathindex" ? Kind::DeathIndex
                                                     : Kind::UserStates;
        ASSERT_EQ(message.kind, expected) << vector.what;
        if (expected == Kind::DeathCount) {
            EXPECT_EQ(message.total, fields[1].number);
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
    // Extra fields after "pong" are ignored, whatever they are.
    EXPECT_EQ(readBytes(field("pong") + field("extra") + u16(3) + "\x01").kind, Kind::Pong);
}

TEST(RealtimeProtocol, NamesMatchAsExactBytes) {
    for (const std::string name : {"Deathcount", "deathcounT", "deathcount ", "deathcounts", "deathcoun",
                                   "ping", "whoami", "increment", "PONG", ""}) {
        EXPECT_EQ(readBytes(field(name) + u16(5)).kind, Kind::Unknown) << name;
    }
    // A name with an embedded NUL is not "pong" either.
    EXPECT_EQ(readBytes(field(std::string("pong\0", 5))).kind, Kind::Unknown);
    EXPECT_EQ(readBytes("").kind, Kind::Unknown);
    // A name whose length runs past the packet reads as no name at all.
    EXPECT_EQ(readBytes(str("\0\0\0\x0a"
                            "death",
                            9))
                  .kind,
              Kind::Unknown);
}

TEST(RealtimeProtocol, TruncatedPacketsAreRejectedWhole) {
    EXPECT_EQ(readBytes(field("deathcount")).kind, Kind::Truncated);
    EXPECT_EQ(readBytes(field("deathcount") + "\x01").kind, Kind::Truncated);
    EXPECT_EQ(readBytes(field("deathindex")).kind, Kind::Truncated);

    const std::string first = field("bob") + field("Bob") + u16(1);
    // A list shorter than its count keeps none of its entries, not even the complete first one.
    for (const std::string& cut : {first, first + field("carol"), first + field("carol") + field("Carol"),
                                   first + field("carol") + "\0\0",
                                   first + str("\0\0\0\x09"
                                               "car",
                                               7)}) {
        auto message = readBytes(field("userstates") + u16(2) + cut);
        EXPECT_EQ(message.kind, Kind::Truncated) << cut.size();
        EXPECT_TRUE(message.entries.empty());
    }
    // Unread bytes after a complete list do not make it truncated.
    EXPECT_EQ(readBytes(field("deathindex") + u16(1) + first + "junk").kind, Kind::DeathIndex);
}

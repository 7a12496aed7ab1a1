#include "link/RealtimeProtocol.hpp"

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

TEST(RealtimeProtocol, ClientMessagesHaveTheirExactBytesOnTheWire) {
    EXPECT_EQ(wire(RealtimeProtocol::ping()), str("\0\0\0\x08\0\0\0\x04ping", 12));
    EXPECT_EQ(wire(RealtimeProtocol::increment()), str("\0\0\0\x0d\0\0\0\x09increment", 17));
    EXPECT_EQ(wire(RealtimeProtocol::whoami("Guest", "Guest")),
              str("\0\0\0\x1c\0\0\0\x06whoami\0\0\0\x05Guest\0\0\0\x05Guest", 32));
    // Names are byte strings: an empty or non-ASCII name goes out as its bytes and nothing else.
    EXPECT_EQ(wire(RealtimeProtocol::whoami("", "\xC3\xA9")),
              str("\0\0\0\x14\0\0\0\x06whoami\0\0\0\0\0\0\0\x02\xC3\xA9", 24));
}

TEST(RealtimeProtocol, BothStringWritersGiveTheSameBytes) {
    for (const char* name : {"ping", "whoami", "increment", ""}) {
        sf::Packet fromCString;
        fromCString << name;
        sf::Packet fromString;
        fromString << std::string(name);
        EXPECT_EQ(wire(fromCString), wire(fromString)) << name;
    }
}

TEST(RealtimeProtocol, ReadsTheFourServerMessages) {
    auto total = readBytes(field("deathcount") + u16(65535));
    EXPECT_EQ(total.kind, Kind::DeathCount);
    EXPECT_EQ(total.total, 65535);

    EXPECT_EQ(readBytes(field("pong")).kind, Kind::Pong);
    // Extra fields after "pong" are ignored, whatever they are.
    EXPECT_EQ(readBytes(field("pong") + field("extra") + u16(3) + "\x01").kind, Kind::Pong);

    auto index = readBytes(field("deathindex") + u16(2) + field("bob") + field("Bob B") + u16(12) +
                           field("") + field("") + u16(0));
    ASSERT_EQ(index.kind, Kind::DeathIndex);
    ASSERT_EQ(index.entries.size(), 2u);
    EXPECT_EQ(index.entries[0].userName, "bob");
    EXPECT_EQ(index.entries[0].displayName, "Bob B");
    EXPECT_EQ(index.entries[0].value, 12);
    EXPECT_EQ(index.entries[1].userName, "");

    auto states = readBytes(field("userstates") + u16(1) + field("alice") + field("Alice") + u16(7));
    ASSERT_EQ(states.kind, Kind::UserStates);
    ASSERT_EQ(states.entries.size(), 1u);
    EXPECT_EQ(states.entries[0].value, 7);

    auto empty = readBytes(field("userstates") + u16(0));
    EXPECT_EQ(empty.kind, Kind::UserStates);
    EXPECT_TRUE(empty.entries.empty());
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

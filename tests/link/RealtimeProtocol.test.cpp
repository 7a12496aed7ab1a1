#include "link/RealtimeProtocol.hpp"
#include "tests/support/WireVectors.hpp"

#include <gtest/gtest.h>

namespace {

// A read of the packet's first size bytes: the kind, the total or the count, the entries kept.
std::string readBytes(const sf::Packet& sent, std::size_t size = std::string::npos) {
    const char* const kinds[] = {"deathcount", "deathindex", "pong", "userstates", "unknown", "truncated"};
    sf::Packet packet;
    packet.append(sent.getData(), std::min(size, sent.getDataSize()));
    const RealtimeProtocol::ServerMessage message = RealtimeProtocol::read(packet);
    const int kind = static_cast<int>(message.kind);
    std::string text = kinds[kind] + (kind == 0 ? " " + std::to_string(message.total) : "");
    text += kind == 1 || kind == 3 ? " " + std::to_string(message.entries.size()) : "";
    for (const auto& entry : message.entries)
        text += " " + entry.userName + " " + entry.displayName + " " + std::to_string(entry.value);
    return text;
}

} // namespace

TEST(RealtimeProtocol, WritesAndReadsEveryMessageAsTheSharedVectorsSay) {
    for (const auto& vector : wirevectors::all()) {
        const auto& f = vector.fields;
        std::string fields = f[0].text;
        for (std::size_t i = 1; i < f.size(); ++i)
            fields += " " + (f[i].isText ? f[i].text : std::to_string(f[i].number));
        sf::Packet packet;
        packet.append(vector.frame.data() + 4, vector.frame.size() - 4);
        const std::vector<char> bytes =
            RealtimeProtocol::frame(f[0].text == "ping"        ? RealtimeProtocol::ping()
                                    : f[0].text == "increment" ? RealtimeProtocol::increment()
                                    : f[0].text == "whoami" ? RealtimeProtocol::whoami(f[1].text, f[2].text)
                                                            : packet);
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), vector.frame) << vector.what;
        EXPECT_EQ(vector.fromServer ? readBytes(packet) : fields, fields) << vector.what;
    }
}

TEST(RealtimeProtocol, NamesMatchAsExactBytesAndTruncatedPacketsAreRejectedWhole) {
    // Malformed packets on a connection are the packet thread's tests; here, the exact edges.
    // clang-format off
    const sf::Packet two = sf::Packet() << "userstates" << sf::Uint16(2) << "bob" << "Bob" << sf::Uint16(1)
                                        << "carolynne" << "Carol" << sf::Uint16(2);
    EXPECT_EQ(readBytes(sf::Packet() << "deathindex" << sf::Uint16(1) << "bob" << "Bob" << sf::Uint16(1) << "x"),
              "deathindex 1 bob Bob 1");
    EXPECT_EQ(readBytes(sf::Packet() << "pong" << "extra" << sf::Uint16(3)), "pong");
    // clang-format on
    EXPECT_EQ(readBytes(sf::Packet() << "deathcount", 9), "unknown") << "a name running past the packet";
    for (const std::size_t cut : {14, 16, 32, 38, 45, 55})
        EXPECT_EQ(readBytes(two, cut), "truncated") << cut;
    using namespace std::string_literals;
    for (const std::string& name : {"Deathcount"s, "deathcount "s, "deathcoun"s, "ping"s, ""s, "pong\0"s})
        EXPECT_EQ(readBytes(sf::Packet() << name << sf::Uint16(5)), "unknown") << name;
}

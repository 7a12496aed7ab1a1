#pragma once

#include <SFML/Network/Packet.hpp>

#include <cstdint>
#include <string>
#include <vector>

// The seven messages on the realtime connection: building the client's three as framed bytes and
// reading the server's four from a received packet.
namespace RealtimeProtocol {

// The client's messages, each as an sf::Packet holding the name and its fields.
sf::Packet ping();
sf::Packet whoami(const std::string& userName, const std::string& displayName);
sf::Packet increment();

// The bytes a packet takes on the stream: its size as 32-bit big-endian, then its data.
std::vector<char> frame(const sf::Packet& packet);

enum class Kind {
    DeathCount,
    DeathIndex,
    Pong,
    UserStates,
    Unknown,  // a name other than the four, the empty one included: dropped unread
    Truncated // the packet ends before its fields do: nothing of it may be applied
};

struct ListEntry {
    std::string userName;
    std::string displayName;
    std::uint16_t value = 0;
};

struct ServerMessage {
    Kind kind = Kind::Unknown;
    std::uint16_t total = 0;        // "deathcount"
    std::vector<ListEntry> entries; // "deathindex" and "userstates", in received order
};

// Reads one received packet whole. Names match as exact bytes; fields after the last one a
// message needs are ignored.
ServerMessage read(sf::Packet& packet);

} // namespace RealtimeProtocol

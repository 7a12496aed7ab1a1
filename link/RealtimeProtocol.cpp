#include "link/RealtimeProtocol.hpp"

namespace RealtimeProtocol {

namespace {

// A list's count is read first; the entries are only handed on once every one of them has read.
bool readList(sf::Packet& packet, std::vector<ListEntry>& entries) {
    sf::Uint16 count = 0;
    if (!(packet >> count))
        return false;
    for (sf::Uint16 i = 0; i < count; ++i) {
        ListEntry entry;
        if (!(packet >> entry.userName >> entry.displayName >> entry.value))
            return false;
        entries.push_back(std::move(entry));
    }
    return true;
}

} // namespace

sf::Packet ping() {
    sf::Packet packet;
    packet << "ping";
    return packet;
}

sf::Packet whoami(const std::string& userName, const std::string& displayName) {
    sf::Packet packet;
    packet << std::string("whoami") << userName << displayName;
    return packet;
}

sf::Packet increment() {
    sf::Packet packet;
    packet << std::string("increment");
    return packet;
}

std::vector<char> frame(const sf::Packet& packet) {
    const std::size_t size = packet.getDataSize();
    const auto length = static_cast<std::uint32_t>(size);
    std::vector<char> bytes;
    bytes.reserve(4 + size);
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes.push_back(static_cast<char>((length >> shift) & 0xFFu));
    const char* data = static_cast<const char*>(packet.getData());
    bytes.insert(bytes.end(), data, data + size);
    return bytes;
}

ServerMessage read(sf::Packet& packet) {
    ServerMessage message;
    std::string name;
    packet >> name;

    if (name == "deathcount") {
        message.kind = (packet >> message.total) ? Kind::DeathCount : Kind::Truncated;
    } else if (name == "deathindex") {
        message.kind = readList(packet, message.entries) ? Kind::DeathIndex : Kind::Truncated;
    } else if (name == "pong") {
        message.kind = Kind::Pong;
    } else if (name == "userstates") {
        message.kind = readList(packet, message.entries) ? Kind::UserStates : Kind::Truncated;
    }
    if (message.kind == Kind::Truncated)
        message.entries.clear();
    return message;
}

} // namespace RealtimeProtocol

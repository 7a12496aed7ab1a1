// Any bytes a server may send, read as one received packet: the reader must neither crash nor
// keep part of a packet that ends early, and what it keeps must be what the bytes say.
#include "link/RealtimeProtocol.hpp"
#include "link/UserStateTable.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

sf::Packet rebuild(const RealtimeProtocol::ServerMessage& message, const char* name) {
    sf::Packet packet;
    packet << name;
    if (message.kind == RealtimeProtocol::Kind::DeathCount) {
        packet << message.total;
        return packet;
    }
    packet << static_cast<sf::Uint16>(message.entries.size());
    for (const auto& entry : message.entries)
        packet << entry.userName << entry.displayName << entry.value;
    return packet;
}

const char* nameOf(RealtimeProtocol::Kind kind) {
    switch (kind) {
    case RealtimeProtocol::Kind::DeathCount:
        return "deathcount";
    case RealtimeProtocol::Kind::DeathIndex:
        return "deathindex";
    case RealtimeProtocol::Kind::UserStates:
        return "userstates";
    default:
        return nullptr;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sf::Packet packet;
    packet.append(data, size);
    const RealtimeProtocol::ServerMessage message = RealtimeProtocol::read(packet);

    if (message.kind != RealtimeProtocol::Kind::DeathIndex &&
        message.kind != RealtimeProtocol::Kind::UserStates && !message.entries.empty())
        std::abort();
    // A message that read whole is, field for field, the start of the bytes it came from.
    if (const char* name = nameOf(message.kind)) {
        const sf::Packet again = rebuild(message, name);
        if (again.getDataSize() > size || std::memcmp(again.getData(), data, again.getDataSize()) != 0)
            std::abort();
    }

    UserStateTable::entries.clear();
    for (const auto& entry : message.entries)
        UserStateTable::applyState(entry.userName, entry.displayName, entry.value);
    if (UserStateTable::entries.size() > message.entries.size())
        std::abort();
    return 0;
}

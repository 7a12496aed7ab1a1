// Any bytes a server may send, read as one received packet and applied to the user table: no
// crash, no sanitizer report, and no entries kept from a packet that is not a whole list.
#include "link/RealtimeProtocol.hpp"
#include "link/UserStateTable.hpp"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using RealtimeProtocol::Kind;
    sf::Packet packet;
    packet.append(data, size);
    const RealtimeProtocol::ServerMessage message = RealtimeProtocol::read(packet);
    if (message.kind != Kind::DeathIndex && message.kind != Kind::UserStates && !message.entries.empty())
        std::abort();
    for (const auto& entry : message.entries)
        UserStateTable::applyState(entry.userName, entry.displayName, entry.value);
    return 0;
}

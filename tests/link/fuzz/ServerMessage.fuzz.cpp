// Any bytes a server may send, read as one received packet and applied to the user table: no
// crash, no entries kept from a packet that is not a whole list, and what is kept is what the
// bytes say.
#include "link/RealtimeProtocol.hpp"
#include "link/UserStateTable.hpp"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using RealtimeProtocol::Kind;
    sf::Packet packet, again;
    packet.append(data, size);
    const RealtimeProtocol::ServerMessage message = RealtimeProtocol::read(packet);
    const bool list = message.kind == Kind::DeathIndex || message.kind == Kind::UserStates;
    if (!list && !message.entries.empty())
        std::abort();
    if (message.kind == Kind::DeathCount)
        again << "deathcount" << message.total;
    if (list)
        again << (message.kind == Kind::DeathIndex ? "deathindex" : "userstates")
              << static_cast<sf::Uint16>(message.entries.size());
    for (const auto& entry : message.entries) {
        again << entry.userName << entry.displayName << entry.value;
        UserStateTable::applyState(entry.userName, entry.displayName, entry.value);
    }
    const std::size_t kept = again.getDataSize();
    if (kept > 0 && (kept > size || std::memcmp(again.getData(), data, kept) != 0))
        std::abort();
    return 0;
}

// Any bytes a server may send, read as one received packet: the reader must neither crash nor
// keep part of a packet that ends early, and what it keeps must be what the bytes say.
#include "link/RealtimeProtocol.hpp"
#include "link/UserStateTable.hpp"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using RealtimeProtocol::Kind;
    sf::Packet packet;
    packet.append(data, size);
    const RealtimeProtocol::ServerMessage message = RealtimeProtocol::read(packet);
    const bool list = message.kind == Kind::DeathIndex || message.kind == Kind::UserStates;
    if (!list && !message.entries.empty())
        std::abort();

    // A message that read whole is, field for field, the start of the bytes it came from.
    if (list || message.kind == Kind::DeathCount) {
        sf::Packet again;
        again << (message.kind == Kind::DeathCount   ? "deathcount"
                  : message.kind == Kind::DeathIndex ? "deathindex"
                                                     : "userstates");
        if (message.kind == Kind::DeathCount)
            again << message.total;
        else
            again << static_cast<sf::Uint16>(message.entries.size());
        for (const auto& entry : message.entries)
            again << entry.userName << entry.displayName << entry.value;
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

#include "server/realtime/room/Admission.hpp"

#include "server/common/PeerAddress.hpp"
#include "server/realtime/room/Room.hpp"

namespace server {

bool Admission::admit(const std::string& address, const std::string& peer, std::size_t connections,
                      bool perAddress) {
    const std::string key = peer::countKey(address);
    if (connections >= limits_.maxConnections) {
        stats_.refused(Refused::Connections);
        refuse(key, peer + ": refused: " + std::to_string(limits_.maxConnections) + " connections already");
        return false;
    }
    return !perAddress || !addressFull(key, peer);
}

bool Admission::place(const std::string& address, const std::string& label) {
    const std::string key = peer::countKey(address);
    if (addressFull(key, label))
        return false;
    ++perAddress_[key];
    return true;
}

bool Admission::addressFull(const std::string& key, const std::string& label) {
    const auto it = perAddress_.find(key);
    if (it == perAddress_.end() || it->second < limits_.maxPerAddress)
        return false;
    stats_.refused(Refused::PerAddress);
    refuse(key, label + ": refused: " + std::to_string(limits_.maxPerAddress) + " connections from " + key +
                    " already");
    return true;
}

void Admission::count(const std::string& address) {
    ++perAddress_[peer::countKey(address)];
}

void Admission::release(const std::string& address) {
    const std::string key = peer::countKey(address);
    if (const auto it = perAddress_.find(key); it != perAddress_.end() && --it->second == 0)
        perAddress_.erase(it);
}

void Admission::refuse(const std::string& key, const std::string& line) {
    // Bounded by the accept rate: a summary leaves the map at the sweep after its second.
    if (refused_[key].note(std::chrono::steady_clock::now()))
        logLine(serverlog::Level::Warning, line);
}

void Admission::summarise(std::chrono::steady_clock::time_point now) {
    for (auto it = refused_.begin(); it != refused_.end();) {
        if (const auto n = it->second.due(now))
            logLine(serverlog::Level::Warning,
                    it->first + ": " + RefusalSummary::line(n, "connections") + " (over the caps)");
        it = it->second.idle() ? refused_.erase(it) : std::next(it);
    }
}

} // namespace server

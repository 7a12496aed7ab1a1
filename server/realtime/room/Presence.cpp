#include "server/realtime/room/Presence.hpp"

namespace server {

bool Presence::acquire(const std::string& user, const std::string& display) {
    auto& entry = here_[user];
    const bool news = entry.connections == 0 || entry.display != display;
    ++entry.connections;
    entry.display = display;
    version_ += news;
    return news;
}

void Presence::rename(const std::string& user, const std::string& display) {
    here_[user].display = display;
    ++version_;
}

std::optional<Presence::Released> Presence::release(const std::string& user) {
    const auto it = here_.find(user);
    if (it == here_.end() || --it->second.connections > 0)
        return std::nullopt;
    Released released{it->second.display, false};
    here_.erase(it);
    ++version_;
    // Still online while another process holds one of its connections.
    released.offline = !online(user);
    return released;
}

bool Presence::online(const std::string& user) const {
    const auto it = remote_.find(user);
    return here_.count(user) > 0 || (it != remote_.end() && !it->second.empty());
}

std::optional<std::string> Presence::shown(const std::string& user) const {
    if (const auto it = here_.find(user); it != here_.end())
        return it->second.display;
    if (const auto it = remote_.find(user); it != remote_.end() && !it->second.empty())
        return it->second.begin()->second;
    return std::nullopt;
}

std::map<std::string, std::string> Presence::everyone() const {
    std::map<std::string, std::string> all;
    for (const auto& [user, holders] : remote_)
        if (!holders.empty())
            all[user] = holders.begin()->second;
    for (const auto& [user, entry] : here_)
        all[user] = entry.display;
    return all;
}

std::vector<std::string> Presence::hereUsers() const {
    std::vector<std::string> users;
    for (const auto& [user, entry] : here_)
        users.push_back(user);
    return users;
}

std::vector<std::string> Presence::remoteUsers() const {
    std::vector<std::string> users;
    for (const auto& [user, holders] : remote_)
        users.push_back(user);
    return users;
}

std::optional<Presence::Change> Presence::peer(const std::string& process, const std::string& user,
                                               const std::string& display, bool isOnline) {
    const bool before = online(user);
    auto& holders = remote_[user];
    const auto previous = holders.find(process);
    const std::string shownName = isOnline ? display : previous != holders.end() ? previous->second : "";
    const bool renamed = isOnline && previous != holders.end() && previous->second != display;
    if (isOnline)
        holders[process] = display;
    else
        holders.erase(process);
    if (holders.empty())
        remote_.erase(user);
    ++version_;
    const bool after = online(user);
    // The display name this process's own connections gave wins over another process's.
    if ((before != after || renamed) && here_.count(user) == 0)
        return Change{user, shownName, after};
    return std::nullopt;
}

std::vector<Presence::Change> Presence::peerUsers(const std::string& process,
                                                  const std::map<std::string, std::string>& users) {
    std::vector<std::string> gone;
    for (const auto& [user, holders] : remote_)
        if (holders.count(process) && !users.count(user))
            gone.push_back(user);
    std::vector<Change> changes;
    for (const auto& user : gone)
        if (auto change = peer(process, user, "", false))
            changes.push_back(std::move(*change));
    for (const auto& [user, display] : users)
        if (auto change = peer(process, user, display, true))
            changes.push_back(std::move(*change));
    return changes;
}

std::vector<Presence::Change> Presence::replacePeers(const PeerUsers& peers) {
    std::map<std::string, std::string> before;
    for (const auto& [user, holders] : remote_)
        if (!holders.empty())
            before[user] = holders.begin()->second;
    remote_.clear();
    for (const auto& [process, users] : peers)
        for (const auto& [user, display] : users)
            remote_[user][process] = display;
    ++version_;
    std::vector<Change> gone;
    for (const auto& [user, display] : before)
        if (!online(user))
            gone.push_back({user, display, false});
    return gone;
}

} // namespace server

#include "server/realtime/room/Tally.hpp"

#include "server/realtime/net/Wire.hpp"
#include "server/realtime/overlay/Overlay.hpp"

#include <algorithm>

namespace server {

Tally::Tally(Snapshot initial) : total_(initial.total), lastIncrementMs_(initial.lastIncrementMs) {
    for (auto& user : initial.users)
        counts_[user.user] = std::move(user);
}

void Tally::setTotal(std::uint16_t total) {
    total_ = total;
    ++version_;
}

void Tally::setLast(std::int64_t lastIncrementMs) {
    if (lastIncrementMs > 0)
        lastIncrementMs_ = lastIncrementMs;
    ++version_;
}

void Tally::apply(const std::vector<UserCount>& changed) {
    for (const auto& entry : changed)
        counts_[entry.user] = entry;
    ++version_;
}

void Tally::drop(const std::vector<std::string>& users) {
    for (const auto& user : users)
        counts_.erase(user);
    ++version_;
}

void Tally::replace(const Snapshot& snapshot) {
    total_ = snapshot.total;
    lastIncrementMs_ = snapshot.lastIncrementMs;
    counts_.clear();
    for (const auto& user : snapshot.users)
        counts_[user.user] = user;
    ++version_;
}

bool Tally::counted(const std::string& user, const std::string& display) const {
    const auto it = counts_.find(user);
    return it != counts_.end() && it->second.display == display;
}

std::string Tally::totalFrame() const {
    return wire::Writer("deathcount").u16(total_).frame();
}

std::string Tally::countsFrame(const std::set<std::string>& users) const {
    wire::Writer index("deathindex");
    std::uint16_t n = 0;
    for (const auto& user : users)
        n += counts_.count(user) ? 1 : 0;
    index.u16(n);
    for (const auto& user : users) {
        const auto it = counts_.find(user);
        if (it != counts_.end())
            index.str(it->second.user).str(it->second.display).u16(it->second.count);
    }
    return index.frame();
}

std::string Tally::statesFrame(const std::vector<Presence::Change>& changes) {
    wire::Writer states("userstates");
    const auto n = std::min(changes.size(), Presence::maxUsers);
    states.u16(static_cast<std::uint16_t>(n));
    for (std::size_t i = 0; i < n; ++i)
        states.str(changes[i].user).str(changes[i].display).u16(changes[i].online ? 1 : 0);
    return states.frame();
}

Bytes Tally::whole(const Presence& presence) {
    const Versions now{version_, presence.version()};
    if (whole_ && wholeAt_ == now)
        return whole_;
    std::string bytes = totalFrame();
    wire::Writer index("deathindex");
    index.u16(static_cast<std::uint16_t>(counts_.size()));
    for (const auto& [user, entry] : counts_)
        index.str(user).str(entry.display).u16(entry.count);
    bytes += index.frame();
    std::vector<Presence::Change> everyone;
    for (auto& [user, display] : presence.everyone())
        everyone.push_back({user, std::move(display), true});
    bytes += statesFrame(everyone);
    whole_ = share(std::move(bytes));
    wholeAt_ = now;
    return whole_;
}

Bytes Tally::overlayWhole(const Presence& presence) {
    const Versions now{version_, presence.version()};
    if (overlayWhole_ && overlayWholeAt_ == now)
        return overlayWhole_;
    std::set<std::string> everyone;
    for (const auto& [user, entry] : counts_)
        everyone.insert(user);
    for (auto& user : presence.hereUsers())
        everyone.insert(std::move(user));
    for (auto& user : presence.remoteUsers())
        everyone.insert(std::move(user));
    overlayWhole_ = share(overlayBody(presence, true, everyone));
    overlayWholeAt_ = now;
    return overlayWhole_;
}

std::string Tally::overlayChange(const Presence& presence, const std::set<std::string>& users) const {
    return overlay::eventHead(false) + overlayBody(presence, false, users);
}

std::string Tally::overlayBody(const Presence& presence, bool full,
                               const std::set<std::string>& users) const {
    std::vector<overlay::User> shown;
    for (const auto& user : users) {
        const auto counted = counts_.find(user);
        overlay::User entry{user, "", 0, presence.online(user)};
        if (counted != counts_.end())
            entry = {user, counted->second.display, counted->second.count, entry.online};
        // The name a connection gave last is the one to show.
        if (auto name = presence.shown(user))
            entry.name = std::move(*name);
        // The page lists users with a count or a connection; a change tells it of the others too,
        // so that it can drop them.
        if (entry.count > 0 || entry.online || !full)
            shown.push_back(std::move(entry));
    }
    return overlay::eventBody(total_, lastIncrementMs_, shown);
}

} // namespace server

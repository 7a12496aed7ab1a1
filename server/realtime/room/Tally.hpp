#pragma once

#include "server/realtime/net/Outbox.hpp"
#include "server/realtime/room/Presence.hpp"
#include "server/realtime/store/Storage.hpp"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace server {

// The tally as last committed, and its frames: the whole tally, which every newcomer gets, is
// encoded once per version of the tally and of who is online, and shared.
class Tally {
public:
    explicit Tally(Snapshot initial);

    std::uint16_t total() const { return total_; }
    std::int64_t lastIncrementMs() const { return lastIncrementMs_; }
    void setTotal(std::uint16_t total);
    // lastIncrementMs 0 keeps the one known.
    void setLast(std::int64_t lastIncrementMs);
    // These users' counts and display names as committed.
    void apply(const std::vector<UserCount>& changed);
    // These users and their counts are gone.
    void drop(const std::vector<std::string>& users);
    void replace(const Snapshot& snapshot);
    bool counted(const std::string& user, const std::string& display) const;

    // A broadcast's frames: the total; these users' counts (those without one are left out).
    std::string totalFrame() const;
    std::string countsFrame(const std::set<std::string>& users) const;
    // "userstates" of these changes of presence; at most Presence::maxUsers of them.
    static std::string statesFrame(const std::vector<Presence::Change>& changes);
    // What a newcomer gets: the total, every user's count, everyone online.
    Bytes whole(const Presence& presence);
    // The overlay's whole tally: an event's body, without the clock that a viewer's head adds.
    Bytes overlayWhole(const Presence& presence);
    // The overlay's event for a change of these users (and of the total).
    std::string overlayChange(const Presence& presence, const std::set<std::string>& users) const;

private:
    std::string overlayBody(const Presence& presence, bool full, const std::set<std::string>& users) const;

    std::uint16_t total_ = 0;
    std::map<std::string, UserCount> counts_;
    std::int64_t lastIncrementMs_ = 0;
    std::uint64_t version_ = 0;
    // The encodings and the versions (of the tally, of who is online) they were made at.
    using Versions = std::pair<std::uint64_t, std::uint64_t>;
    Bytes whole_, overlayWhole_;
    Versions wholeAt_, overlayWholeAt_;
};

} // namespace server

#pragma once

#include "server/realtime/store/Storage.hpp"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace server {

// Who is online: the users with a connection here, and those at each other process sharing the
// store. Says what changed; the room tells the connections.
class Presence {
public:
    // Lists carry a 16-bit count: at most this many users online here.
    static constexpr std::size_t maxUsers = 65535;

    // A user online or offline, under the display name to show.
    struct Change {
        std::string user, display;
        bool online = false;
    };

    // Whether one more connection of this user fits here.
    bool room(const std::string& user) const { return here_.size() < maxUsers || here_.count(user) > 0; }
    // One more connection of the user here; true when the user came online here or took a new
    // display name, which the store and the others are to hear of.
    bool acquire(const std::string& user, const std::string& display);
    // A connection of the user here gave a new display name.
    void rename(const std::string& user, const std::string& display);
    // One connection of the user here is gone. When it was the last here: the display name to
    // tell the store, and whether the user is now offline everywhere.
    struct Released {
        std::string display;
        bool offline = false;
    };
    std::optional<Released> release(const std::string& user);

    // A user came online (or took a new name) or went offline at another process; the change
    // to announce, if the others see one (a user also online here keeps its own display name).
    std::optional<Change> peer(const std::string& process, const std::string& user,
                               const std::string& display, bool online);
    // Every user another process holds now: the changes to announce.
    std::vector<Change> peerUsers(const std::string& process,
                                  const std::map<std::string, std::string>& users);
    // Every other process's users after the store was out of reach: those that were online at
    // another process and are no longer online anywhere.
    std::vector<Change> replacePeers(const PeerUsers& peers);

    // Whether any process (this one or another) holds a connection of the user.
    bool online(const std::string& user) const;
    // The display name to show for a user online, or nothing.
    std::optional<std::string> shown(const std::string& user) const;
    // Everyone online here or at another process, once each, with the name to show.
    std::map<std::string, std::string> everyone() const;
    // Users online here, with the number of their connections.
    std::size_t hereCount() const { return here_.size(); }
    std::vector<std::string> hereUsers() const;
    // Users known online at other processes, whether or not they are here too.
    std::vector<std::string> remoteUsers() const;
    // Changes whenever everyone() may have.
    std::uint64_t version() const { return version_; }

private:
    struct Here {
        std::string display;
        std::size_t connections = 0;
    };
    std::map<std::string, Here> here_;
    // User to process to display name.
    std::map<std::string, std::map<std::string, std::string>> remote_;
    std::uint64_t version_ = 0;
};

} // namespace server

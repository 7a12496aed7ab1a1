#pragma once

#include "server/common/Log.hpp"
#include "server/common/RefusalSummary.hpp"
#include "server/realtime/net/Pacing.hpp"
#include "server/realtime/room/Stats.hpp"
#include "server/realtime/store/Storage.hpp"

#include <boost/asio.hpp>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace server {

class Session;
class Viewer;

struct Limits {
    std::size_t maxConnections = 10000;
    std::size_t maxPerAddress = 64;
    // Increments read but not yet stored, across the server; more are refused.
    std::size_t maxPending = 10000;
};

// Writes one line to standard error, at the journal's priority for an increment or admin change
// unless given another.
void logLine(const std::string& line);
void logLine(serverlog::Level level, const std::string& line);

// Everyone connected, who is online, and the tally as last committed. Fans every committed
// change out to every session. Lives on the one event loop thread; nothing here locks.
class Room : public StoreListener {
public:
    Room(boost::asio::io_context& loop, Storage& storage, Limits limits, Snapshot initial);

    // Whether a new connection from this address may join now; logs the refusal otherwise.
    // perAddress false: the peer is the load balancer; the client's address is checked by place().
    bool admit(const std::string& address, const std::string& peer, bool perAddress = true);
    void join(const std::shared_ptr<Session>& session);
    // Counts a session behind the balancer under its client's address; false when over the cap.
    bool place(Session& session);
    void leave(Session& session);
    void name(Session& session, const std::string& user, const std::string& display);
    void increment(Session& session);
    // A connection to the overlay's port; it counts against the same caps as a client.
    void watch(const std::shared_ptr<Viewer>& viewer);
    void unwatch(Viewer& viewer);

    // The frames a new connection gets: the total, every user's count, everyone online.
    std::string wholeTally() const;
    // The frames of one merged broadcast.
    std::string encodeTotal() const;
    std::string encodeCounts(const std::set<std::string>& users) const;
    // The overlay's event: every user when full, else these.
    std::string overlayEvent(bool full, const std::set<std::string>& users) const;

    // Admin operations; done gets success and the text for the admin.
    void status(std::function<void(bool, std::string)> done) const;
    void history(std::size_t n, std::function<void(bool, std::string)> done);
    void users(std::function<void(bool, std::string)> done);
    // Refused while any of the users is online here or at another process.
    void forget(std::vector<std::string> users, std::function<void(bool, std::string)> done);
    void undo(std::function<void(bool, std::string)> done);
    void setTotal(std::uint16_t total, std::function<void(bool, std::string)> done);
    void backup(const std::string& path, std::function<void(bool, std::string)> done);

    // What this process counted, for the metrics; the metrics' text when they are served.
    Stats& stats() { return stats_; }
    bool servesMetrics() const { return servesMetrics_; }
    void serveMetrics(bool on) { servesMetrics_ = on; }
    std::string metrics() const;
    // A session handed a broadcast with the total to the kernel; generation: the session's last.
    void broadcastSent(std::uint64_t& generation);

    // Closes every connection, then the storage; done runs when nothing is left to finish.
    void shutdown(std::function<void()> done);

    // A store shared with other server processes reports here.
    void tallyChanged(std::uint16_t total, std::int64_t lastIncrementMs,
                      const std::vector<UserCount>& changed) override;
    void peerPresence(const std::string& process, const std::string& user, const std::string& display,
                      bool online) override;
    void peerUsers(const std::string& process, const std::map<std::string, std::string>& users) override;
    void resync(const Snapshot& snapshot, const PeerUsers& peers) override;
    void forgotten(const std::vector<std::string>& users) override;

private:
    struct Presence {
        std::string display;
        std::size_t connections = 0;
    };
    void scheduleFlush();
    void flush();
    void drop(const std::vector<std::string>& users);
    // Logs a refusal of a new connection from this address, summarised once a second.
    void refuseConnection(const std::string& key, const std::string& line);
    void applyChange(const ChangeResult& result);
    void applyCounts(const std::vector<UserCount>& changed);
    void acquire(Session& session, const std::string& user, const std::string& display);
    void release(const std::string& user);
    void sweep();
    // Whether any process (this one or another) holds a connection of the user.
    bool online(const std::string& user) const;
    void announce(const std::string& user, const std::string& display, bool online);

    boost::asio::io_context& loop_;
    Storage& storage_;
    Limits limits_;
    boost::asio::steady_timer sweepTimer_;
    std::set<std::shared_ptr<Session>> sessions_;
    std::set<std::shared_ptr<Viewer>> viewers_;
    std::map<std::string, std::size_t> perAddress_; // by peer::countKey
    std::map<std::string, RefusalSummary> refusedAddresses_;
    std::map<std::string, Presence> online_; // users with a connection here
    // Users with a connection at another process sharing the store: user to process to display name.
    std::map<std::string, std::map<std::string, std::string>> remote_;
    bool shared_ = false;
    // The tally as last committed.
    std::uint16_t total_ = 0;
    std::map<std::string, UserCount> counts_;
    std::int64_t lastIncrementMs_ = 0;
    // Increments read but not yet committed, with the session each came from for the log.
    std::vector<Increment> pending_;
    struct PendingPeer {
        std::weak_ptr<Session> session;
        std::string label;
        pacing::Clock::time_point read;
    };
    std::vector<PendingPeer> pendingPeers_;
    // The latest display name given by each user since the last commit; stored with the next one.
    std::map<std::string, std::string> pendingRenames_;
    bool flushPosted_ = false;
    bool committing_ = false;
    bool stopping_ = false;
    std::function<void()> closeDone_;
    Stats stats_;
    bool servesMetrics_ = true;
    // The fan-out being timed: since when, its generation, and the sessions yet to send it.
    pacing::Clock::time_point fanoutSince_;
    std::uint64_t fanoutGeneration_ = 0;
    std::size_t fanoutLeft_ = 0;
};

} // namespace server

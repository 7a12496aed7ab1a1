#pragma once

#include "server/common/Log.hpp"
#include "server/realtime/net/Outbox.hpp"
#include "server/realtime/net/Pacing.hpp"
#include "server/realtime/room/Admission.hpp"
#include "server/realtime/room/CommitQueue.hpp"
#include "server/realtime/room/Presence.hpp"
#include "server/realtime/room/Stats.hpp"
#include "server/realtime/room/Tally.hpp"
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

// Writes one line to standard error, at the journal's priority for an increment or admin change
// unless given another.
void logLine(const std::string& line);
void logLine(serverlog::Level level, const std::string& line);

// Everyone connected, and the tick that tells them what changed. Its parts: who may connect
// (Admission), who is online (Presence), the tally and its frames (Tally), and the increments
// on their way to the storage (CommitQueue). Changes are gathered here; at most once per
// pacing::broadcastInterval the room encodes one broadcast, shared by every connection, and
// welcomes the newcomers with the whole tally, encoded once. Lives on the one event loop thread;
// nothing here locks.
class Room : public StoreListener {
public:
    Room(boost::asio::io_context& loop, Storage& storage, Limits limits, Snapshot initial);

    // Whether a new connection from this address may join now; logs the refusal otherwise.
    // perAddress false: the peer is the load balancer; the client's address is checked by place().
    bool admit(const std::string& address, const std::string& peer, bool perAddress = true);
    bool fromBalancer(const boost::asio::ip::address& address) const {
        return admission_.fromBalancer(address);
    }
    void join(const std::shared_ptr<Session>& session);
    // Counts a session behind the balancer under its client's address; false when over the cap.
    bool place(Session& session);
    // The session gets the whole tally with the next tick, which comes at once after a quiet interval.
    void welcome(Session& session);
    void leave(Session& session);
    void name(Session& session, const std::string& user, const std::string& display);
    void increment(Session& session);
    // A connection to the overlay's port; it counts against the same caps as a client.
    void watch(const std::shared_ptr<Viewer>& viewer);
    void unwatch(Viewer& viewer);
    // The body of the overlay's whole-tally event, shared until the tally or presence changes.
    Bytes overlayWhole();

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
    // Overlay viewers that hold an event stream.
    std::size_t streams() const;
    // Something waits for the tick: it runs at once after a quiet interval, else when one is over.
    void schedule();
    // Sends what changed since the last tick to everyone, and the whole tally to the newcomers.
    void tick();
    void committed(const CommitResult& result, std::size_t applied);
    void applyChange(const ChangeResult& result);
    void applyCounts(const std::vector<UserCount>& changed);
    void drop(const std::vector<std::string>& users);
    void acquire(Session& session, const std::string& user, const std::string& display);
    void release(const std::string& user);
    void announce(const std::string& user, const std::string& display, bool online);
    void sweep();

    boost::asio::io_context& loop_;
    Storage& storage_;
    Stats stats_;
    Admission admission_;
    Presence presence_;
    Tally tally_;
    CommitQueue commits_;
    boost::asio::steady_timer sweepTimer_, tickTimer_;
    std::set<std::shared_ptr<Session>> sessions_;
    std::set<std::shared_ptr<Viewer>> viewers_;
    bool shared_ = false;
    bool stopping_ = false;
    bool servesMetrics_ = true;

    // What the next tick sends: the total, these users' counts, these changes of presence (by
    // user, the latest), or after a resync these bytes in their place; the overlay's users.
    bool totalDirty_ = false;
    std::set<std::string> countsDirty_;
    std::map<std::string, Presence::Change> statesDirty_;
    Bytes resync_;
    bool overlayDirty_ = false, overlayFull_ = false;
    std::set<std::string> overlayUsers_;
    std::vector<std::weak_ptr<Session>> newcomers_;
    bool tickArmed_ = false;
    pacing::Clock::time_point lastTick_{};
    pacing::Clock::time_point totalSince_{}; // when the total the next tick sends changed first
};

} // namespace server

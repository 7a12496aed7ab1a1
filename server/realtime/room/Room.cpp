#include "server/realtime/room/Room.hpp"

#include "server/common/PeerAddress.hpp"
#include "server/realtime/net/Session.hpp"
#include "server/realtime/net/Viewer.hpp"
#include "server/realtime/net/Wire.hpp"
#include "server/realtime/overlay/Overlay.hpp"
#include "text/SafeText.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <utility>

namespace server {

namespace asio = boost::asio;

namespace {

constexpr std::size_t maxUsers = 65535; // lists carry a 16-bit count

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string utcTime(std::int64_t ms) {
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

} // namespace

void logLine(const std::string& line) {
    serverlog::line(serverlog::Level::Info, line);
}

void logLine(serverlog::Level level, const std::string& line) {
    serverlog::line(level, line);
}

Room::Room(asio::io_context& loop, Storage& storage, Limits limits, Snapshot initial)
    : loop_(loop), storage_(storage), limits_(limits), sweepTimer_(loop), total_(initial.total),
      lastIncrementMs_(initial.lastIncrementMs) {
    shared_ = storage.shared();
    for (auto& user : initial.users)
        counts_[user.user] = std::move(user);
    sweep();
}

bool Room::admit(const std::string& address, const std::string& peer, bool perAddress) {
    if (stopping_)
        return false;
    const std::string key = peer::countKey(address);
    if (sessions_.size() + viewers_.size() >= limits_.maxConnections) {
        stats_.refused(Refused::Connections);
        refuseConnection(key, peer + ": refused: " + std::to_string(limits_.maxConnections) +
                                  " connections already");
        return false;
    }
    const auto it = perAddress_.find(key);
    if (perAddress && it != perAddress_.end() && it->second >= limits_.maxPerAddress) {
        stats_.refused(Refused::PerAddress);
        refuseConnection(key, peer + ": refused: " + std::to_string(limits_.maxPerAddress) +
                                  " connections from " + key + " already");
        return false;
    }
    return true;
}

void Room::refuseConnection(const std::string& key, const std::string& line) {
    // Bounded by the accept rate: a summary leaves the map at the sweep after its second.
    if (refusedAddresses_[key].note(pacing::Clock::now()))
        logLine(serverlog::Level::Warning, line);
}

void Room::join(const std::shared_ptr<Session>& session) {
    sessions_.insert(session);
    if (!session->awaitingHeader_) {
        ++perAddress_[peer::countKey(session->address())];
        session->counted_ = true;
    }
    session->start();
}

bool Room::place(Session& session) {
    const std::string key = peer::countKey(session.address());
    const auto it = perAddress_.find(key);
    if (it != perAddress_.end() && it->second >= limits_.maxPerAddress) {
        stats_.refused(Refused::PerAddress);
        refuseConnection(key, session.label() + ": refused: " + std::to_string(limits_.maxPerAddress) +
                                  " connections from " + key + " already");
        return false;
    }
    ++perAddress_[key];
    session.counted_ = true;
    return true;
}

void Room::watch(const std::shared_ptr<Viewer>& viewer) {
    viewers_.insert(viewer);
    ++perAddress_[peer::countKey(viewer->address())];
    viewer->start();
}

void Room::unwatch(Viewer& viewer) {
    const auto it = viewers_.find(viewer.shared_from_this());
    if (it == viewers_.end())
        return;
    auto keep = *it;
    viewers_.erase(it);
    const std::string key = peer::countKey(viewer.address());
    if (--perAddress_[key] == 0)
        perAddress_.erase(key);
}

void Room::leave(Session& session) {
    const auto it = sessions_.find(session.shared_from_this());
    if (it == sessions_.end())
        return;
    auto keep = *it; // the session outlives this call even if the set held its last reference
    sessions_.erase(it);
    const std::string key = peer::countKey(session.address());
    if (session.counted_ && --perAddress_[key] == 0)
        perAddress_.erase(key);
    session.counted_ = false;
    if (session.user_) {
        release(*session.user_);
        session.user_.reset();
    }
}

void Room::acquire(Session& session, const std::string& user, const std::string& display) {
    auto& presence = online_[user];
    const bool news = presence.connections == 0 || presence.display != display;
    ++presence.connections;
    presence.display = display;
    session.user_ = user;
    session.display_ = display;
    if (news) {
        storage_.presence(user, display, true);
        announce(user, display, true);
    }
}

bool Room::online(const std::string& user) const {
    const auto it = remote_.find(user);
    return online_.count(user) > 0 || (it != remote_.end() && !it->second.empty());
}

void Room::announce(const std::string& user, const std::string& display, bool online) {
    for (const auto& other : sessions_)
        other->stateChanged(user, display, online);
    for (const auto& viewer : viewers_)
        viewer->stateChanged(user);
}

void Room::release(const std::string& user) {
    const auto it = online_.find(user);
    if (it == online_.end() || --it->second.connections > 0)
        return;
    const std::string display = it->second.display;
    online_.erase(it);
    storage_.presence(user, display, false);
    // Still online while another process holds one of its connections.
    if (!online(user))
        announce(user, display, false);
}

void Room::name(Session& session, const std::string& user, const std::string& display) {
    if (session.user_ && *session.user_ == user) {
        if (session.display_ == display)
            return;
        session.display_ = display;
        online_[user].display = display;
        storage_.presence(user, display, true);
        announce(user, display, true);
    } else {
        if (session.user_) {
            release(*session.user_);
            session.user_.reset();
        }
        if (online_.size() >= maxUsers && online_.count(user) == 0) {
            stats_.refused(Refused::UsersFull);
            logLine(serverlog::Level::Warning, session.label() + ": refused whoami " +
                                                   SafeText::printable(user) + ": " +
                                                   std::to_string(maxUsers) + " users online already");
            return;
        }
        acquire(session, user, display);
    }
    logLine(serverlog::Level::Debug, session.label() + ": whoami (" + SafeText::printable(display) + ")");
    // The stored display name follows the latest one a user gave. It rides with the next commit,
    // so a stream of renames costs one entry per user, never a transaction each. A user without a
    // count yet may have increments waiting that carry an older name.
    const auto known = counts_.find(user);
    if (stopping_ || (known != counts_.end() && known->second.display == display)) {
        pendingRenames_.erase(user);
        return;
    }
    pendingRenames_[user] = display;
    scheduleFlush();
}

void Room::increment(Session& session) {
    if (stopping_)
        return;
    if (pending_.size() >= limits_.maxPending) {
        session.refuse(Session::Refusal::Backlog,
                       "refused increment: " + std::to_string(limits_.maxPending) + " waiting to be stored");
        return;
    }
    pending_.push_back(
        {session.user_.value_or("Guest"), session.user_ ? session.display_ : "Guest", nowMs()});
    pendingPeers_.push_back({session.weak_from_this(), session.label(), pacing::Clock::now()});
    scheduleFlush();
}

void Room::scheduleFlush() {
    // Everything read in this turn of the loop goes into one transaction.
    if (!flushPosted_ && !committing_) {
        flushPosted_ = true;
        asio::post(loop_, [this] {
            flushPosted_ = false;
            flush();
        });
    }
}

void Room::flush() {
    if (committing_)
        return;
    if (pending_.empty() && pendingRenames_.empty()) {
        // Stopping waits for the last commit, so every increment read before the stop is stored.
        if (stopping_ && closeDone_)
            storage_.close(std::exchange(closeDone_, nullptr));
        return;
    }
    committing_ = true;
    auto peers = std::move(pendingPeers_);
    pendingPeers_.clear();
    std::vector<Increment> batch = std::move(pending_);
    pending_.clear();
    auto renames = std::move(pendingRenames_);
    pendingRenames_.clear();
    storage_.commit(
        std::move(batch), std::move(renames), [this, peers = std::move(peers)](CommitResult result) {
            committing_ = false;
            // A refusal goes through its session's summary while the session lives.
            const auto refuse = [this](const PendingPeer& peer, Session::Refusal kind,
                                       const std::string& what) {
                if (const auto session = peer.session.lock()) {
                    session->refuse(kind, what);
                } else {
                    stats_.refused(Session::counted(kind));
                    logLine(serverlog::Level::Warning, peer.label + ": " + what);
                }
            };
            if (!result.ok) {
                for (const auto& peer : peers)
                    refuse(peer, Session::Refusal::NotStored,
                           (result.unconfirmed ? "increment unconfirmed, counted only if Redis runs it: "
                                               : "refused increment: not stored: ") +
                               result.error);
            } else {
                std::size_t applied = 0;
                for (const auto outcome : result.outcomes)
                    applied += outcome == Outcome::Applied;
                std::size_t running = result.total - applied;
                for (std::size_t i = 0; i < peers.size() && i < result.outcomes.size(); ++i) {
                    switch (result.outcomes[i]) {
                    case Outcome::Applied:
                        ++stats_.increments;
                        stats_.commit.observe(
                            std::chrono::duration<double>(pacing::Clock::now() - peers[i].read).count());
                        logLine(peers[i].label + ": increment, total " + std::to_string(++running));
                        break;
                    case Outcome::TotalFull:
                        refuse(peers[i], Session::Refusal::TotalFull,
                               "refused increment: the total is at 65535");
                        break;
                    case Outcome::CountFull:
                        refuse(peers[i], Session::Refusal::CountFull,
                               "refused increment: the user's count is at 65535");
                        break;
                    case Outcome::UsersFull:
                        refuse(peers[i], Session::Refusal::UsersFull,
                               "refused increment: 65535 users already");
                        break;
                    }
                }
                // A shared store's changes come back through the listener, in the store's order.
                if (!shared_ && (applied > 0 || !result.changed.empty())) {
                    total_ = result.total;
                    if (applied > 0)
                        lastIncrementMs_ = result.lastIncrementMs;
                    applyCounts(result.changed);
                }
            }
            flush();
        });
}

void Room::applyCounts(const std::vector<UserCount>& changed) {
    // Timed from here to the last session's write; a fan-out cut short by closed sessions is
    // given up after a second.
    const auto now = pacing::Clock::now();
    if (!sessions_.empty() && (fanoutLeft_ == 0 || now - fanoutSince_ > std::chrono::seconds(1))) {
        fanoutSince_ = now;
        ++fanoutGeneration_;
        fanoutLeft_ = sessions_.size();
    }
    std::vector<std::string> users;
    for (const auto& entry : changed) {
        users.push_back(entry.user);
        counts_[entry.user] = entry;
    }
    for (const auto& session : sessions_)
        session->tallyChanged(true, users);
    for (const auto& viewer : viewers_)
        viewer->tallyChanged(users);
}

void Room::broadcastSent(std::uint64_t& generation) {
    if (fanoutLeft_ == 0 || generation == fanoutGeneration_)
        return;
    generation = fanoutGeneration_;
    if (--fanoutLeft_ == 0)
        stats_.fanout.observe(std::chrono::duration<double>(pacing::Clock::now() - fanoutSince_).count());
}

std::string Room::metrics() const {
    metrics::Exposition out;
    std::size_t streams = 0;
    for (const auto& viewer : viewers_)
        streams += viewer->streaming();
    out.gauge("brannoc_connections", "Game clients connected to this process.",
              static_cast<double>(sessions_.size()));
    out.gauge("brannoc_users_online", "Users with a connection to this process.",
              static_cast<double>(online_.size()));
    out.gauge("brannoc_overlay_streams", "Overlay event streams open at this process.",
              static_cast<double>(streams));
    out.gauge("brannoc_tally", "The shared total as this process last saw it.", total_);
    out.counter("brannoc_increments_total", "Increments this process stored.",
                static_cast<double>(stats_.increments));
    std::vector<std::pair<std::string, double>> refusals;
    for (std::size_t i = 0; i < refusalNames.size(); ++i)
        refusals.emplace_back(refusalNames[i], static_cast<double>(stats_.refusals[i]));
    out.counter("brannoc_refusals_total", "Refusals, by the kind of refusal line logged.", "reason",
                refusals);
    out.counter("brannoc_admin_changes_total", "Admin changes (undo, set, forget) made through this process.",
                static_cast<double>(stats_.adminChanges));
    out.counter("brannoc_redis_resyncs_total", "Times this process reloaded the whole tally from Redis.",
                static_cast<double>(stats_.resyncs));
    out.histogram("brannoc_commit_duration_seconds", "From an increment read to its commit done.",
                  stats_.commit);
    out.histogram("brannoc_fanout_duration_seconds",
                  "From a commit done to the last session's write of it handed to the kernel.",
                  stats_.fanout);
    out.process();
    return out.text();
}

void Room::applyChange(const ChangeResult& result) {
    if (!result.ok || shared_)
        return;
    total_ = result.total;
    applyCounts(result.changed);
}

std::string Room::encodeTotal() const {
    return wire::Writer("deathcount").u16(total_).frame();
}

std::string Room::encodeCounts(const std::set<std::string>& users) const {
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

std::string Room::wholeTally() const {
    std::string bytes = encodeTotal();
    wire::Writer index("deathindex");
    index.u16(static_cast<std::uint16_t>(counts_.size()));
    for (const auto& [user, entry] : counts_)
        index.str(user).str(entry.display).u16(entry.count);
    bytes += index.frame();
    // Everyone online here or at another process, once each.
    std::map<std::string, std::string> everyone;
    for (const auto& [user, holders] : remote_)
        if (!holders.empty())
            everyone[user] = holders.begin()->second;
    for (const auto& [user, presence] : online_)
        everyone[user] = presence.display;
    wire::Writer states("userstates");
    const auto n = std::min<std::size_t>(everyone.size(), maxUsers);
    states.u16(static_cast<std::uint16_t>(n));
    std::size_t written = 0;
    for (const auto& [user, display] : everyone)
        if (written++ < n)
            states.str(user).str(display).u16(1);
    return bytes + states.frame();
}

std::string Room::overlayEvent(bool full, const std::set<std::string>& users) const {
    std::vector<overlay::User> shown;
    const auto add = [&](const std::string& user) {
        const auto counted = counts_.find(user);
        const auto here = online_.find(user);
        const auto there = remote_.find(user);
        overlay::User entry{user, "", 0, online(user)};
        if (counted != counts_.end())
            entry = {user, counted->second.display, counted->second.count, entry.online};
        // The name a connection gave last is the one to show.
        if (here != online_.end())
            entry.name = here->second.display;
        else if (there != remote_.end() && !there->second.empty())
            entry.name = there->second.begin()->second;
        // The page lists users with a count or a connection; a change tells it of the others too,
        // so that it can drop them.
        if (entry.count > 0 || entry.online || !full)
            shown.push_back(std::move(entry));
    };
    if (full) {
        std::set<std::string> everyone;
        for (const auto& [user, entry] : counts_)
            everyone.insert(user);
        for (const auto& [user, presence] : online_)
            everyone.insert(user);
        for (const auto& [user, holders] : remote_)
            everyone.insert(user);
        for (const auto& user : everyone)
            add(user);
    } else {
        for (const auto& user : users)
            add(user);
    }
    return overlay::event(full, total_, lastIncrementMs_, nowMs(), shown);
}

void Room::tallyChanged(std::uint16_t total, std::int64_t lastIncrementMs,
                        const std::vector<UserCount>& changed) {
    total_ = total;
    if (lastIncrementMs > 0)
        lastIncrementMs_ = lastIncrementMs;
    applyCounts(changed);
}

void Room::peerPresence(const std::string& process, const std::string& user, const std::string& display,
                        bool isOnline) {
    const bool before = online(user);
    auto& holders = remote_[user];
    const auto previous = holders.find(process);
    const std::string shown = isOnline ? display : previous != holders.end() ? previous->second : "";
    const bool renamed = isOnline && previous != holders.end() && previous->second != display;
    if (isOnline)
        holders[process] = display;
    else
        holders.erase(process);
    if (holders.empty())
        remote_.erase(user);
    const bool after = online(user);
    // The display name this process's own connections gave wins over another process's.
    if ((before != after || renamed) && online_.count(user) == 0)
        announce(user, shown, after);
}

void Room::peerUsers(const std::string& process, const std::map<std::string, std::string>& users) {
    std::vector<std::string> gone;
    for (const auto& [user, holders] : remote_)
        if (holders.count(process) && !users.count(user))
            gone.push_back(user);
    for (const auto& user : gone)
        peerPresence(process, user, "", false);
    for (const auto& [user, display] : users)
        peerPresence(process, user, display, true);
}

void Room::resync(const Snapshot& snapshot, const PeerUsers& peers) {
    ++stats_.resyncs;
    std::map<std::string, std::string> before;
    for (const auto& [user, holders] : remote_)
        if (!holders.empty())
            before[user] = holders.begin()->second;
    total_ = snapshot.total;
    lastIncrementMs_ = snapshot.lastIncrementMs;
    counts_.clear();
    for (const auto& user : snapshot.users)
        counts_[user.user] = user;
    remote_.clear();
    for (const auto& [process, users] : peers)
        for (const auto& [user, display] : users)
            remote_[user][process] = display;
    // The whole tally, and the users that went offline meanwhile (the list only updates).
    std::string bytes = wholeTally();
    wire::Writer offline("userstates");
    std::vector<std::pair<std::string, std::string>> gone;
    for (const auto& [user, display] : before)
        if (!online(user))
            gone.emplace_back(user, display);
    if (!gone.empty()) {
        offline.u16(static_cast<std::uint16_t>(std::min<std::size_t>(gone.size(), maxUsers)));
        for (std::size_t i = 0; i < gone.size() && i < maxUsers; ++i)
            offline.str(gone[i].first).str(gone[i].second).u16(0);
        bytes += offline.frame();
    }
    for (const auto& session : sessions_)
        session->resend(bytes);
    for (const auto& viewer : viewers_)
        viewer->resync();
}

void Room::status(std::function<void(bool, std::string)> done) const {
    std::string users;
    for (const auto& [user, presence] : online_)
        users += (users.empty() ? "" : ", ") + SafeText::printable(user);
    std::size_t streams = 0;
    for (const auto& viewer : viewers_)
        streams += viewer->streaming();
    std::string text = "connections: " + std::to_string(sessions_.size()) + "\n";
    text +=
        "users online: " + std::to_string(online_.size()) + (users.empty() ? "" : " (" + users + ")") + "\n";
    text += "total: " + std::to_string(total_) + "\n";
    text += "last increment: " + (lastIncrementMs_ ? utcTime(lastIncrementMs_) + " UTC" : "never") + "\n";
    text += "overlay streams: " + std::to_string(streams) + "\n";
    text += storage_.describe();
    done(true, text);
}

void Room::history(std::size_t n, std::function<void(bool, std::string)> done) {
    storage_.history(n, [done](bool ok, std::string error, std::vector<HistoryEntry> entries) {
        if (!ok) {
            done(false, error + "\n");
            return;
        }
        std::string text;
        for (const auto& entry : entries)
            text += utcTime(entry.timeMs) + " UTC " + SafeText::printable(entry.user) + "\n";
        done(true, text);
    });
}

void Room::users(std::function<void(bool, std::string)> done) {
    storage_.users([done](bool ok, std::string error, std::vector<UserRecord> entries) {
        if (!ok) {
            done(false, error + "\n");
            return;
        }
        // Tab-separated, so that a script can cut it; names cannot hold a tab once printable.
        std::string text;
        for (const auto& entry : entries)
            text += SafeText::printable(entry.user) + "\t" + SafeText::printable(entry.display) + "\t" +
                    std::to_string(entry.count) + "\t" +
                    (entry.lastIncrementMs ? utcTime(entry.lastIncrementMs) + " UTC" : "never") + "\n";
        done(true, text);
    });
}

void Room::forget(std::vector<std::string> users, std::function<void(bool, std::string)> done) {
    std::string busy;
    for (const auto& user : users)
        if (online(user))
            busy += (busy.empty() ? "" : ", ") + SafeText::printable(user);
    if (!busy.empty()) {
        logLine(serverlog::Level::Warning, "admin: forget refused: online now: " + busy);
        done(false, "refused: online now: " + busy + "\n");
        return;
    }
    storage_.forget(users, [this, users, done](ChangeResult result) {
        if (!result.ok) {
            logLine(serverlog::Level::Warning, "admin: forget: " + result.message);
            done(false, result.message + "\n");
            return;
        }
        std::string forgot, unknown;
        for (const auto& user : users) {
            const bool removed =
                std::find(result.removed.begin(), result.removed.end(), user) != result.removed.end();
            auto& list = removed ? forgot : unknown;
            list += (list.empty() ? "" : ", ") + SafeText::printable(user);
        }
        const std::string text = (forgot.empty() ? "forgot nobody" : "forgot " + forgot) +
                                 (unknown.empty() ? "" : "; not known: " + unknown);
        ++stats_.adminChanges;
        logLine("admin: forget: " + text);
        if (!shared_)
            drop(result.removed);
        done(true, text + "\n");
    });
}

void Room::forgotten(const std::vector<std::string>& users) {
    drop(users);
}

void Room::drop(const std::vector<std::string>& users) {
    for (const auto& user : users) {
        counts_.erase(user);
        pendingRenames_.erase(user);
    }
    // A client has no way to remove a user from its list; a newcomer never sees these. The page
    // drops a user that has neither a count nor a connection.
    for (const auto& viewer : viewers_)
        viewer->tallyChanged(users);
}

void Room::undo(std::function<void(bool, std::string)> done) {
    storage_.undo([this, done](ChangeResult result) {
        stats_.adminChanges += result.ok;
        logLine(result.ok ? serverlog::Level::Info : serverlog::Level::Warning,
                "admin: undo: " + result.message);
        applyChange(result);
        done(result.ok, result.message + "\n");
    });
}

void Room::setTotal(std::uint16_t total, std::function<void(bool, std::string)> done) {
    storage_.setTotal(total, [this, done](ChangeResult result) {
        stats_.adminChanges += result.ok;
        logLine(result.ok ? serverlog::Level::Info : serverlog::Level::Warning,
                "admin: set: " + result.message);
        applyChange(result);
        done(result.ok, result.message + "\n");
    });
}

void Room::backup(const std::string& path, std::function<void(bool, std::string)> done) {
    storage_.backup(path, [done](bool ok, std::string message) {
        logLine(ok ? serverlog::Level::Info : serverlog::Level::Warning, "admin: backup: " + message);
        done(ok, message + "\n");
    });
}

void Room::sweep() {
    const auto now = pacing::Clock::now();
    std::vector<std::pair<std::shared_ptr<Session>, std::string>> overdue;
    for (const auto& session : sessions_)
        if (auto why = session->overdue(now))
            overdue.emplace_back(session, *why);
    for (auto& [session, why] : overdue) {
        stats_.refused(why.find("silent") != std::string::npos ? Refused::Silent : Refused::NotReading);
        session->close(why);
    }
    std::vector<std::pair<std::shared_ptr<Viewer>, std::string>> dropped;
    for (const auto& viewer : viewers_)
        if (auto why = viewer->tick(now))
            dropped.emplace_back(viewer, *why);
    for (auto& [viewer, why] : dropped)
        viewer->close(why);
    for (const auto& session : sessions_)
        session->summarise(now);
    for (auto it = refusedAddresses_.begin(); it != refusedAddresses_.end();) {
        if (const auto n = it->second.due(now))
            logLine(serverlog::Level::Warning,
                    it->first + ": " + RefusalSummary::line(n, "connections") + " (over the caps)");
        it = it->second.idle() ? refusedAddresses_.erase(it) : std::next(it);
    }
    if (stopping_)
        return;
    sweepTimer_.expires_after(std::chrono::milliseconds(500));
    sweepTimer_.async_wait([this](boost::system::error_code ec) {
        if (!ec)
            sweep();
    });
}

void Room::shutdown(std::function<void()> done) {
    stopping_ = true;
    sweepTimer_.cancel();
    const auto everyone = sessions_;
    for (const auto& session : everyone)
        session->close("server stopping");
    const auto watching = viewers_;
    for (const auto& viewer : watching)
        viewer->close("");
    closeDone_ = std::move(done);
    flush();
}

} // namespace server

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
    : loop_(loop), storage_(storage), admission_(std::move(limits), stats_), tally_(std::move(initial)),
      commits_(loop, storage, stats_, admission_.maxPending(),
               [this](const CommitResult& result, std::size_t applied) { committed(result, applied); }),
      sweepTimer_(loop), tickTimer_(loop), shared_(storage.shared()) {
    sweep();
}

bool Room::admit(const std::string& address, const std::string& peer, bool perAddress) {
    return !stopping_ && admission_.admit(address, peer, sessions_.size() + viewers_.size(), perAddress);
}

void Room::join(const std::shared_ptr<Session>& session) {
    sessions_.insert(session);
    if (!session->awaitingHeader_) {
        admission_.count(session->address());
        session->counted_ = true;
    }
    session->start();
}

bool Room::place(Session& session) {
    session.counted_ = admission_.place(session.address(), session.label());
    return session.counted_;
}

void Room::welcome(Session& session) {
    newcomers_.push_back(session.weak_from_this());
    schedule();
}

void Room::watch(const std::shared_ptr<Viewer>& viewer) {
    viewers_.insert(viewer);
    admission_.count(viewer->address());
    viewer->start();
}

void Room::unwatch(Viewer& viewer) {
    const auto it = viewers_.find(viewer.shared_from_this());
    if (it == viewers_.end())
        return;
    auto keep = *it;
    viewers_.erase(it);
    admission_.release(viewer.address());
}

Bytes Room::overlayWhole() {
    return tally_.overlayWhole(presence_);
}

void Room::leave(Session& session) {
    const auto it = sessions_.find(session.shared_from_this());
    if (it == sessions_.end())
        return;
    auto keep = *it; // the session outlives this call even if the set held its last reference
    sessions_.erase(it);
    if (session.counted_)
        admission_.release(session.address());
    session.counted_ = false;
    if (session.user_) {
        release(*session.user_);
        session.user_.reset();
    }
}

void Room::acquire(Session& session, const std::string& user, const std::string& display) {
    session.user_ = user;
    session.display_ = display;
    if (presence_.acquire(user, display)) {
        storage_.presence(user, display, true);
        announce(user, display, true);
    }
}

void Room::release(const std::string& user) {
    if (const auto released = presence_.release(user)) {
        storage_.presence(user, released->display, false);
        if (released->offline)
            announce(user, released->display, false);
    }
}

void Room::announce(const std::string& user, const std::string& display, bool online) {
    statesDirty_[user] = {user, display, online};
    overlayUsers_.insert(user);
    overlayDirty_ = true;
    schedule();
}

void Room::name(Session& session, const std::string& user, const std::string& display) {
    if (session.user_ && *session.user_ == user) {
        if (session.display_ == display)
            return;
        session.display_ = display;
        presence_.rename(user, display);
        storage_.presence(user, display, true);
        announce(user, display, true);
    } else {
        if (session.user_) {
            release(*session.user_);
            session.user_.reset();
        }
        if (!presence_.room(user)) {
            stats_.refused(Refused::UsersFull);
            logLine(serverlog::Level::Warning,
                    session.label() + ": refused whoami " + SafeText::printable(user) + ": " +
                        std::to_string(Presence::maxUsers) + " users online already");
            return;
        }
        acquire(session, user, display);
    }
    logLine(serverlog::Level::Debug, session.label() + ": whoami (" + SafeText::printable(display) + ")");
    // The stored display name follows the latest one a user gave. It rides with the next commit,
    // so a stream of renames costs one entry per user, never a transaction each. A user without a
    // count yet may have increments waiting that carry an older name.
    if (stopping_ || tally_.counted(user, display))
        commits_.forget(user);
    else
        commits_.rename(user, display);
}

void Room::increment(Session& session) {
    if (stopping_)
        return;
    if (!commits_.increment(
            session, {session.user_.value_or("Guest"), session.user_ ? session.display_ : "Guest", nowMs()}))
        session.refuse(Session::Refusal::Backlog,
                       "refused increment: " + std::to_string(admission_.maxPending()) +
                           " waiting to be stored");
}

void Room::committed(const CommitResult& result, std::size_t applied) {
    // A shared store's changes come back through the listener, in the store's order.
    if (shared_)
        return;
    tally_.setTotal(result.total);
    if (applied > 0)
        tally_.setLast(result.lastIncrementMs);
    applyCounts(result.changed);
}

void Room::applyChange(const ChangeResult& result) {
    if (!result.ok || shared_)
        return;
    tally_.setTotal(result.total);
    applyCounts(result.changed);
}

void Room::applyCounts(const std::vector<UserCount>& changed) {
    if (!totalDirty_)
        totalSince_ = pacing::Clock::now();
    totalDirty_ = true;
    tally_.apply(changed);
    for (const auto& entry : changed) {
        countsDirty_.insert(entry.user);
        overlayUsers_.insert(entry.user);
    }
    overlayDirty_ = true;
    schedule();
}

void Room::schedule() {
    if (tickArmed_ || stopping_)
        return;
    tickArmed_ = true;
    const auto now = pacing::Clock::now();
    const auto when = pacing::nextBroadcast(lastTick_, now);
    // At once still goes through the loop: what is read in this turn joins the same tick.
    if (when <= now) {
        asio::post(loop_, [this] { tick(); });
        return;
    }
    tickTimer_.expires_at(when);
    tickTimer_.async_wait([this](boost::system::error_code ec) {
        if (!ec)
            tick();
    });
}

void Room::tick() {
    tickArmed_ = false;
    if (stopping_)
        return;
    const bool total = totalDirty_ || resync_;
    Bytes frame = std::exchange(resync_, nullptr);
    if (!frame) {
        std::string bytes;
        if (totalDirty_)
            bytes += tally_.totalFrame();
        if (!countsDirty_.empty())
            bytes += tally_.countsFrame(countsDirty_);
        if (!statesDirty_.empty()) {
            std::vector<Presence::Change> changes;
            for (auto& [user, change] : statesDirty_)
                changes.push_back(std::move(change));
            bytes += Tally::statesFrame(changes);
        }
        if (!bytes.empty())
            frame = share(std::move(bytes));
    }
    totalDirty_ = false;
    countsDirty_.clear();
    statesDirty_.clear();
    if (!frame && newcomers_.empty() && !overlayDirty_ && !overlayFull_)
        return;
    lastTick_ = pacing::Clock::now();

    // Those welcomed before this tick get its changes; the newcomers get the whole tally, which holds them.
    std::size_t sent = 0;
    if (frame)
        for (const auto& session : sessions_)
            sent += session->broadcast(frame);
    if (!newcomers_.empty()) {
        const Bytes whole = tally_.whole(presence_);
        for (const auto& newcomer : std::exchange(newcomers_, {}))
            if (const auto session = newcomer.lock())
                session->greet(whole);
    }
    if (total && sent > 0)
        stats_.fanout.observe(std::chrono::duration<double>(pacing::Clock::now() - totalSince_).count());

    if (overlayFull_) {
        static const Bytes head = share(overlay::eventHead(true));
        const Bytes body = tally_.overlayWhole(presence_);
        for (const auto& viewer : viewers_)
            viewer->event(head, body);
    } else if (overlayDirty_) {
        const Bytes event = share(tally_.overlayChange(presence_, overlayUsers_));
        for (const auto& viewer : viewers_)
            viewer->event(event);
    }
    overlayDirty_ = overlayFull_ = false;
    overlayUsers_.clear();
}

std::size_t Room::streams() const {
    std::size_t n = 0;
    for (const auto& viewer : viewers_)
        n += viewer->streaming();
    return n;
}

std::string Room::metrics() const {
    metrics::Exposition out;
    out.gauge("brannoc_connections", "Game clients connected to this process.",
              static_cast<double>(sessions_.size()));
    out.gauge("brannoc_users_online", "Users with a connection to this process.",
              static_cast<double>(presence_.hereCount()));
    out.gauge("brannoc_overlay_streams", "Overlay event streams open at this process.",
              static_cast<double>(streams()));
    out.gauge("brannoc_tally", "The shared total as this process last saw it.", tally_.total());
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
                  "From a change of the total reaching the room to its broadcast handed to every client.",
                  stats_.fanout);
    out.process();
    return out.text();
}

void Room::tallyChanged(std::uint16_t total, std::int64_t lastIncrementMs,
                        const std::vector<UserCount>& changed) {
    tally_.setTotal(total);
    tally_.setLast(lastIncrementMs);
    applyCounts(changed);
}

void Room::peerPresence(const std::string& process, const std::string& user, const std::string& display,
                        bool online) {
    if (const auto change = presence_.peer(process, user, display, online))
        announce(change->user, change->display, change->online);
}

void Room::peerUsers(const std::string& process, const std::map<std::string, std::string>& users) {
    for (const auto& change : presence_.peerUsers(process, users))
        announce(change.user, change.display, change.online);
}

void Room::resync(const Snapshot& snapshot, const PeerUsers& peers) {
    ++stats_.resyncs;
    tally_.replace(snapshot);
    const auto gone = presence_.replacePeers(peers);
    // The whole tally, and the users that went offline meanwhile (the list only updates), in place
    // of whatever change was waiting; it goes at once.
    std::string bytes = *tally_.whole(presence_);
    if (!gone.empty())
        bytes += Tally::statesFrame(gone);
    if (!totalDirty_)
        totalSince_ = pacing::Clock::now();
    resync_ = share(std::move(bytes));
    totalDirty_ = false;
    countsDirty_.clear();
    statesDirty_.clear();
    overlayFull_ = true;
    tick();
}

void Room::status(std::function<void(bool, std::string)> done) const {
    std::string users;
    for (const auto& user : presence_.hereUsers())
        users += (users.empty() ? "" : ", ") + SafeText::printable(user);
    std::string text = "connections: " + std::to_string(sessions_.size()) + "\n";
    text += "users online: " + std::to_string(presence_.hereCount()) +
            (users.empty() ? "" : " (" + users + ")") + "\n";
    text += "total: " + std::to_string(tally_.total()) + "\n";
    text += "last increment: " +
            (tally_.lastIncrementMs() ? utcTime(tally_.lastIncrementMs()) + " UTC" : "never") + "\n";
    text += "overlay streams: " + std::to_string(streams()) + "\n";
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
        if (presence_.online(user))
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
    tally_.drop(users);
    for (const auto& user : users)
        commits_.forget(user);
    // A client has no way to remove a user from its list; a newcomer never sees these. The page
    // drops a user that has neither a count nor a connection.
    overlayUsers_.insert(users.begin(), users.end());
    overlayDirty_ = true;
    schedule();
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
    admission_.summarise(now);
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
    tickTimer_.cancel();
    const auto everyone = sessions_;
    for (const auto& session : everyone)
        session->close("server stopping");
    const auto watching = viewers_;
    for (const auto& viewer : watching)
        viewer->close("");
    commits_.close(std::move(done));
}

} // namespace server

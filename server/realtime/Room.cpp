#include "server/realtime/Room.hpp"

#include "server/realtime/Session.hpp"
#include "server/realtime/Wire.hpp"

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
    std::fprintf(stderr, "%s\n", line.c_str());
}

Room::Room(asio::io_context& loop, Storage& storage, Limits limits, Snapshot initial)
    : loop_(loop), storage_(storage), limits_(limits), sweepTimer_(loop), total_(initial.total),
      lastIncrementMs_(initial.lastIncrementMs) {
    for (auto& user : initial.users)
        counts_[user.user] = std::move(user);
    sweep();
}

bool Room::admit(const std::string& address, const std::string& peer) const {
    if (stopping_)
        return false;
    if (sessions_.size() >= limits_.maxConnections) {
        logLine(peer + ": refused: " + std::to_string(limits_.maxConnections) + " connections already");
        return false;
    }
    const auto it = perAddress_.find(address);
    if (it != perAddress_.end() && it->second >= limits_.maxPerAddress) {
        logLine(peer + ": refused: " + std::to_string(limits_.maxPerAddress) + " connections from " +
                address + " already");
        return false;
    }
    return true;
}

void Room::join(const std::shared_ptr<Session>& session) {
    sessions_.insert(session);
    ++perAddress_[session->address()];
    session->start();
}

void Room::leave(Session& session) {
    const auto it = sessions_.find(session.shared_from_this());
    if (it == sessions_.end())
        return;
    auto keep = *it; // the session outlives this call even if the set held its last reference
    sessions_.erase(it);
    if (--perAddress_[session.address()] == 0)
        perAddress_.erase(session.address());
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
    if (news)
        for (const auto& other : sessions_)
            other->stateChanged(user, display, true);
}

void Room::release(const std::string& user) {
    const auto it = online_.find(user);
    if (it == online_.end() || --it->second.connections > 0)
        return;
    const std::string display = it->second.display;
    online_.erase(it);
    for (const auto& other : sessions_)
        other->stateChanged(user, display, false);
}

void Room::name(Session& session, const std::string& user, const std::string& display) {
    if (session.user_ && *session.user_ == user) {
        if (session.display_ == display)
            return;
        session.display_ = display;
        online_[user].display = display;
        for (const auto& other : sessions_)
            other->stateChanged(user, display, true);
    } else {
        if (session.user_) {
            release(*session.user_);
            session.user_.reset();
        }
        if (online_.size() >= maxUsers && online_.count(user) == 0) {
            logLine(session.label() + ": refused whoami " + wire::printable(user) + ": " +
                    std::to_string(maxUsers) + " users online already");
            return;
        }
        acquire(session, user, display);
    }
    logLine(session.label() + ": whoami (" + wire::printable(display) + ")");
    // The stored display name follows the latest one a user gave.
    const auto known = counts_.find(user);
    if (known != counts_.end() && known->second.display != display)
        storage_.rename(user, display, [this](ChangeResult result) {
            if (result.ok)
                applyCounts(result.changed);
        });
}

void Room::increment(Session& session) {
    if (stopping_)
        return;
    pending_.push_back(
        {session.user_.value_or("Guest"), session.user_ ? session.display_ : "Guest", nowMs()});
    pendingPeers_.push_back(session.label());
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
    if (pending_.empty()) {
        // Stopping waits for the last commit, so every increment read before the stop is stored.
        if (stopping_ && closeDone_)
            storage_.close(std::exchange(closeDone_, nullptr));
        return;
    }
    committing_ = true;
    std::vector<std::string> peers = std::move(pendingPeers_);
    pendingPeers_.clear();
    std::vector<Increment> batch = std::move(pending_);
    pending_.clear();
    storage_.commit(std::move(batch), [this, peers = std::move(peers)](CommitResult result) {
        committing_ = false;
        if (!result.ok) {
            for (const auto& peer : peers)
                logLine(peer + ": refused increment: not stored: " + result.error);
        } else {
            std::size_t applied = 0;
            for (const auto outcome : result.outcomes)
                applied += outcome == Outcome::Applied;
            std::size_t running = result.total - applied;
            for (std::size_t i = 0; i < peers.size() && i < result.outcomes.size(); ++i) {
                switch (result.outcomes[i]) {
                case Outcome::Applied:
                    logLine(peers[i] + ": increment, total " + std::to_string(++running));
                    break;
                case Outcome::TotalFull:
                    logLine(peers[i] + ": refused increment: the total is at 65535");
                    break;
                case Outcome::CountFull:
                    logLine(peers[i] + ": refused increment: the user's count is at 65535");
                    break;
                case Outcome::UsersFull:
                    logLine(peers[i] + ": refused increment: 65535 users already");
                    break;
                }
            }
            if (applied > 0) {
                total_ = result.total;
                lastIncrementMs_ = result.lastIncrementMs;
                applyCounts(result.changed);
            }
        }
        flush();
    });
}

void Room::applyCounts(const std::vector<UserCount>& changed) {
    std::vector<std::string> users;
    for (const auto& entry : changed) {
        users.push_back(entry.user);
        counts_[entry.user] = entry;
    }
    for (const auto& session : sessions_)
        session->tallyChanged(true, users);
}

void Room::applyChange(const ChangeResult& result) {
    if (!result.ok)
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
    wire::Writer states("userstates");
    states.u16(static_cast<std::uint16_t>(online_.size()));
    for (const auto& [user, presence] : online_)
        states.str(user).str(presence.display).u16(1);
    return bytes + states.frame();
}

void Room::status(std::function<void(bool, std::string)> done) const {
    std::string users;
    for (const auto& [user, presence] : online_)
        users += (users.empty() ? "" : ", ") + wire::printable(user);
    std::string text = "connections: " + std::to_string(sessions_.size()) + "\n";
    text +=
        "users online: " + std::to_string(online_.size()) + (users.empty() ? "" : " (" + users + ")") + "\n";
    text += "total: " + std::to_string(total_) + "\n";
    text += "last increment: " + (lastIncrementMs_ ? utcTime(lastIncrementMs_) + " UTC" : "never") + "\n";
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
            text += utcTime(entry.timeMs) + " UTC " + wire::printable(entry.user) + "\n";
        done(true, text);
    });
}

void Room::undo(std::function<void(bool, std::string)> done) {
    storage_.undo([this, done](ChangeResult result) {
        logLine("admin: undo: " + result.message);
        applyChange(result);
        done(result.ok, result.message + "\n");
    });
}

void Room::setTotal(std::uint16_t total, std::function<void(bool, std::string)> done) {
    storage_.setTotal(total, [this, done](ChangeResult result) {
        logLine("admin: set: " + result.message);
        applyChange(result);
        done(result.ok, result.message + "\n");
    });
}

void Room::backup(const std::string& path, std::function<void(bool, std::string)> done) {
    storage_.backup(path, [done](bool ok, std::string message) {
        logLine("admin: backup: " + message);
        done(ok, message + "\n");
    });
}

void Room::sweep() {
    const auto now = pacing::Clock::now();
    std::vector<std::pair<std::shared_ptr<Session>, std::string>> overdue;
    for (const auto& session : sessions_)
        if (auto why = session->overdue(now))
            overdue.emplace_back(session, *why);
    for (auto& [session, why] : overdue)
        session->close(why);
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
    closeDone_ = std::move(done);
    flush();
}

} // namespace server

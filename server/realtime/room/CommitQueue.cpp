#include "server/realtime/room/CommitQueue.hpp"

#include "server/realtime/net/Session.hpp"
#include "server/realtime/room/Room.hpp"

#include <utility>

namespace server {

CommitQueue::CommitQueue(boost::asio::io_context& loop, Storage& storage, Stats& stats,
                         std::size_t maxPending, Committed committed)
    : loop_(loop), storage_(storage), stats_(stats), maxPending_(maxPending),
      committed_(std::move(committed)) {}

bool CommitQueue::increment(Session& session, Increment increment) {
    if (pending_.size() >= maxPending_)
        return false;
    pending_.push_back(std::move(increment));
    peers_.push_back({session.weak_from_this(), session.label(), pacing::Clock::now()});
    schedule();
    return true;
}

void CommitQueue::rename(const std::string& user, const std::string& display) {
    renames_[user] = display;
    schedule();
}

void CommitQueue::forget(const std::string& user) {
    renames_.erase(user);
}

void CommitQueue::close(std::function<void()> done) {
    closeDone_ = std::move(done);
    flush();
}

void CommitQueue::schedule() {
    if (!posted_ && !committing_) {
        posted_ = true;
        boost::asio::post(loop_, [this] {
            posted_ = false;
            flush();
        });
    }
}

void CommitQueue::flush() {
    if (committing_)
        return;
    if (pending_.empty() && renames_.empty()) {
        // Closing waits for the last commit, so every increment read before the stop is stored.
        if (closeDone_)
            storage_.close(std::exchange(closeDone_, nullptr));
        return;
    }
    committing_ = true;
    auto peers = std::exchange(peers_, {});
    auto batch = std::exchange(pending_, {});
    auto renames = std::exchange(renames_, {});
    storage_.commit(std::move(batch), std::move(renames),
                    [this, peers = std::move(peers)](CommitResult result) {
                        committing_ = false;
                        done(peers, result);
                        flush();
                    });
}

void CommitQueue::done(const std::vector<Peer>& peers, const CommitResult& result) {
    // A refusal goes through its session's summary while the session lives.
    const auto refuse = [this](const Peer& peer, Session::Refusal kind, const std::string& what) {
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
        return;
    }
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
            refuse(peers[i], Session::Refusal::TotalFull, "refused increment: the total is at 65535");
            break;
        case Outcome::CountFull:
            refuse(peers[i], Session::Refusal::CountFull, "refused increment: the user's count is at 65535");
            break;
        case Outcome::UsersFull:
            refuse(peers[i], Session::Refusal::UsersFull, "refused increment: 65535 users already");
            break;
        }
    }
    if (applied > 0 || !result.changed.empty())
        committed_(result, applied);
}

} // namespace server

#pragma once

#include "server/realtime/net/Pacing.hpp"
#include "server/realtime/room/Stats.hpp"
#include "server/realtime/store/Storage.hpp"

#include <boost/asio.hpp>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace server {

class Session;

// Increments and display names waiting to be stored, committed in groups: everything read in one
// turn of the loop goes into one transaction, and what comes during a commit into the next. Logs
// each increment stored and refuses, through its session, each one that is not.
class CommitQueue {
public:
    // Runs with each commit that changed the tally; applied: the increments it stored.
    using Committed = std::function<void(const CommitResult&, std::size_t applied)>;
    CommitQueue(boost::asio::io_context& loop, Storage& storage, Stats& stats, std::size_t maxPending,
                Committed committed);

    // Queues an increment of the session's user; false, queuing nothing, when the queue is full.
    bool increment(Session& session, Increment increment);
    // The user's display name goes with the next commit; a stream of renames costs one entry.
    void rename(const std::string& user, const std::string& display);
    // Drops a waiting rename of the user.
    void forget(const std::string& user);
    // Commits what is left, then closes the storage; done runs once that is over.
    void close(std::function<void()> done);

private:
    struct Peer {
        std::weak_ptr<Session> session;
        std::string label;
        pacing::Clock::time_point read;
    };
    void schedule();
    void flush();
    void done(const std::vector<Peer>& peers, const CommitResult& result);

    boost::asio::io_context& loop_;
    Storage& storage_;
    Stats& stats_;
    std::size_t maxPending_;
    Committed committed_;
    // Increments read but not yet committed, with the session each came from for the log.
    std::vector<Increment> pending_;
    std::vector<Peer> peers_;
    std::map<std::string, std::string> renames_;
    bool posted_ = false;
    bool committing_ = false;
    std::function<void()> closeDone_;
};

} // namespace server

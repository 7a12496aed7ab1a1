#pragma once

#include "server/common/RefusalSummary.hpp"
#include "server/realtime/net/Pacing.hpp"
#include "server/realtime/net/ProxyHeader.hpp"
#include "server/realtime/net/Wire.hpp"
#include "server/realtime/room/Stats.hpp"

#include <boost/asio.hpp>

#include <array>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace server {

class Room;

// One client connection: reads its frames, answers pings, hands names and increments to the room,
// and sends the room's broadcasts paced and merged. Owns its socket and its bounded write queue.
class Session : public std::enable_shared_from_this<Session> {
public:
    // fromProxy: the peer is the load balancer, whose PROXY header names the client.
    Session(boost::asio::ip::tcp::socket socket, Room& room, std::string address, std::string peer,
            bool fromProxy = false);

    // Sends the whole tally, then starts reading.
    void start();
    // Marks what changed; it reaches the client with the next paced broadcast.
    void tallyChanged(bool total, const std::vector<std::string>& users);
    void stateChanged(const std::string& user, const std::string& display, bool online);
    // Sends these bytes (the whole tally) now in place of whatever change was waiting.
    void resend(std::string bytes);
    // Closes the connection; the reason goes to the log unless it is empty.
    void close(const std::string& reason);

    // The peer and, once named, its user: how the log names this connection.
    std::string label() const;
    const std::string& address() const { return address_; }
    // Says why the connection should be dropped at this moment, or nothing.
    std::optional<std::string> overdue(pacing::Clock::time_point now) const;

    // The kinds of increment refusal, each logged at most once a second with a count after.
    enum class Refusal { OverRate, Backlog, NotStored, TotalFull, CountFull, UsersFull, Kinds };
    void refuse(Refusal kind, const std::string& what);
    // The kind the metrics count such a refusal under.
    static Refused counted(Refusal kind);
    // Logs the counts of refusals whose second is over.
    void summarise(pacing::Clock::time_point now);

private:
    friend class Room;
    void read();
    // Handles n bytes just read; false once the connection is closed.
    bool received(std::size_t n);
    void handle(const std::string& data);
    void send(std::string bytes);
    void write();
    void scheduleBroadcast();
    void broadcastNow();
    // Closes with a refusal, counted for the metrics.
    void refuseAndClose(Refused kind, const std::string& reason);

    boost::asio::ip::tcp::socket socket_;
    boost::asio::steady_timer broadcastTimer_;
    Room& room_;
    std::string address_;
    std::string peer_;
    std::array<char, 8192> readBuffer_{};
    wire::FrameReader frames_;
    pacing::RateLimit rate_;
    pacing::RateLimit whoamiRate_{pacing::whoamisPerSecond};
    std::array<RefusalSummary, static_cast<std::size_t>(Refusal::Kinds)> refusals_;
    pacing::Clock::time_point lastRead_;
    pacing::Clock::time_point lastBroadcast_;
    pacing::Clock::time_point writeSince_;
    std::deque<std::string> queue_;
    std::size_t queuedBytes_ = 0;
    std::uint64_t fanoutGeneration_ = 0; // the room's fan-out this session last reported
    bool writing_ = false;
    bool broadcastScheduled_ = false;
    bool closed_ = false;
    bool spoke_ = false;
    bool awaitingHeader_ = false;
    bool counted_ = false; // in the room's per-address count
    std::string header_;   // bytes read while the PROXY header is incomplete
    std::optional<std::string> user_;
    std::string display_;
    // Merged changes waiting for the next broadcast.
    bool totalDirty_ = false;
    std::set<std::string> countsDirty_;
    std::map<std::string, std::pair<std::string, bool>> statesDirty_;
};

} // namespace server

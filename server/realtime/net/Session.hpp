#pragma once

#include "server/common/RefusalSummary.hpp"
#include "server/realtime/net/Outbox.hpp"
#include "server/realtime/net/Pacing.hpp"
#include "server/realtime/net/ProxyHeader.hpp"
#include "server/realtime/net/Wire.hpp"
#include "server/realtime/room/Stats.hpp"

#include <boost/asio.hpp>

#include <array>
#include <memory>
#include <optional>
#include <string>

namespace server {

class Room;

// One client connection: reads its frames, answers pings, hands names and increments to the room,
// and sends the room's broadcasts, the same bytes as every other connection's. Owns its socket and
// its bounded write queue.
class Session : public std::enable_shared_from_this<Session> {
public:
    // fromProxy: the peer is the load balancer, whose PROXY header names the client.
    Session(boost::asio::ip::tcp::socket socket, Room& room, std::string address, std::string peer,
            bool fromProxy = false);

    // Asks the room for the whole tally (behind the balancer, once the client is known), then reads.
    void start();
    // The whole tally: the first bytes the client gets, then whatever waited for them.
    void greet(const Bytes& whole);
    // Queues one of the room's broadcasts; false, sending nothing, before the whole tally went out.
    bool broadcast(const Bytes& frame);
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
    void send(const Bytes& bytes);
    void write();
    // Closes with a refusal, counted for the metrics.
    void refuseAndClose(Refused kind, const std::string& reason);

    boost::asio::ip::tcp::socket socket_;
    Room& room_;
    std::string address_;
    std::string peer_;
    // A client's messages are a few dozen bytes; a bigger buffer would only cost every connection.
    std::array<char, 512> readBuffer_{};
    wire::FrameReader frames_;
    pacing::RateLimit rate_;
    pacing::RateLimit whoamiRate_{pacing::whoamisPerSecond};
    std::array<RefusalSummary, static_cast<std::size_t>(Refusal::Kinds)> refusals_;
    pacing::Clock::time_point lastRead_;
    Outbox outbox_;
    std::size_t heldPongs_ = 0; // answers to pings read before the whole tally went out
    bool greeted_ = false;
    bool closed_ = false;
    bool spoke_ = false;
    bool awaitingHeader_ = false;
    bool counted_ = false; // in the room's per-address count
    std::string header_;   // bytes read while the PROXY header is incomplete
    std::optional<std::string> user_;
    std::string display_;
};

} // namespace server

#pragma once

#include "server/realtime/net/Outbox.hpp"
#include "server/realtime/net/Pacing.hpp"

#include <boost/asio.hpp>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace server {

class Room;

// Time a connection to the overlay's port has to send its request.
constexpr pacing::milliseconds requestLimit{10000};
// An idle event stream gets a beat this often, so the page can tell a quiet tally from a dead link.
constexpr pacing::milliseconds beatInterval{5000};
// Time given to the peer to read an answer before the connection closes for good.
constexpr pacing::milliseconds lingerLimit{2000};

// One connection to the overlay's HTTP port: reads one request, answers it and closes, or, asked
// for the events, becomes a viewer of the room that gets the whole tally and then the room's
// event of each tick, the same bytes as every other viewer's. A viewer that stops reading holds
// references to those events until it is dropped.
class Viewer : public std::enable_shared_from_this<Viewer> {
public:
    Viewer(boost::asio::ip::tcp::socket socket, Room& room, std::string address, std::string peer);
    ~Viewer();

    // Reads the request.
    void start();
    // Sends one of the room's events to a stream (a page request or a refusal ignores them).
    void event(const Bytes& bytes);
    void event(const Bytes& head, const Bytes& body);
    // Why the connection should be dropped now ("" to close it quietly), or nothing; sends the
    // beat when it is due.
    std::optional<std::string> tick(pacing::Clock::time_point now);
    void close(const std::string& reason);

    const std::string& address() const { return address_; }
    bool streaming() const { return stage_ == Stage::Stream; }

private:
    enum class Stage { Request, Reply, Stream, Linger };
    struct Request;
    void answer();
    void reply(int status, std::string_view type, const Bytes& body);
    void send(const Bytes& bytes);
    void write();
    void written(boost::system::error_code ec);
    void linger();
    // Reads and drops until the peer closes, then closes with this reason.
    void drain(const std::string& reason);

    boost::asio::ip::tcp::socket socket_;
    Room& room_;
    std::string address_, peer_;
    std::unique_ptr<Request> request_;
    Stage stage_ = Stage::Request;
    pacing::Clock::time_point since_; // of the current stage
    Outbox outbox_;
    std::array<char, 1024> discard_{};
    bool closed_ = false;
};

} // namespace server

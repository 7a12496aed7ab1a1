#pragma once

#include "server/realtime/net/Pacing.hpp"

#include <boost/asio.hpp>

#include <array>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace server {

class Room;

// Time a connection to the overlay's port has to send its request.
constexpr pacing::milliseconds requestLimit{10000};
// An idle event stream gets a beat this often, so the page can tell a quiet tally from a dead link.
constexpr pacing::milliseconds beatInterval{5000};
// Time given to the peer to read an answer before the connection closes for good.
constexpr pacing::milliseconds lingerLimit{2000};

// One connection to the overlay's HTTP port: reads one request, answers it and closes, or, asked
// for the events, becomes a viewer of the room that gets the whole tally and then each change,
// paced and merged. At most one write is under way; changes meanwhile wait merged, so a viewer
// that stops reading holds one event, not a queue.
class Viewer : public std::enable_shared_from_this<Viewer> {
public:
    Viewer(boost::asio::ip::tcp::socket socket, Room& room, std::string address, std::string peer);
    ~Viewer();

    // Reads the request.
    void start();
    // The total changed, and these users' counts; it reaches the page with the next paced event.
    void tallyChanged(const std::vector<std::string>& users);
    void stateChanged(const std::string& user);
    // The whole tally goes out next in place of whatever change was waiting.
    void resync();
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
    void reply(int status, std::string_view type, std::string_view body);
    void pump();
    void write(std::string head, std::string_view body = {});
    void linger();
    // Reads and drops until the peer closes, then closes with this reason.
    void drain(const std::string& reason);

    boost::asio::ip::tcp::socket socket_;
    boost::asio::steady_timer timer_;
    Room& room_;
    std::string address_, peer_;
    std::unique_ptr<Request> request_;
    Stage stage_ = Stage::Request;
    pacing::Clock::time_point since_;     // of the current stage
    pacing::Clock::time_point lastEvent_; // paces the events
    pacing::Clock::time_point lastWrite_, writeSince_;
    std::string out_; // what is being written
    std::array<char, 1024> discard_{};
    bool writing_ = false;
    bool timerArmed_ = false;
    bool closed_ = false;
    // Merged changes waiting for the next event.
    bool full_ = false, dirty_ = false;
    std::set<std::string> users_;
};

} // namespace server

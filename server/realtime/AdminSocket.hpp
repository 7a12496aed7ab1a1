#pragma once

#include <boost/asio.hpp>

#include <string>
#include <vector>

namespace server {

class Room;

// The local administration socket: one command line in, one reply out, per connection. Only the
// owner (and root) may connect: the socket is made with mode 0600.
class AdminSocket {
public:
    AdminSocket(boost::asio::io_context& loop, Room& room);
    // Binds the socket file; false with the reason when another server answers there or it cannot
    // be made. A stale file left by a killed server is replaced.
    bool open(const std::string& path, std::string& error);
    void close();

private:
    void accept();

    boost::asio::local::stream_protocol::acceptor acceptor_;
    Room& room_;
    std::string path_;
};

// Sends one command to the server behind the socket and prints its reply; the process status.
int runAdminCommand(const std::string& path, const std::vector<std::string>& command);

} // namespace server

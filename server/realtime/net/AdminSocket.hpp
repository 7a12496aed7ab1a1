#pragma once

#include <boost/asio.hpp>

#include <memory>
#include <string>
#include <vector>

namespace server {

class Room;
class AdminConnection;

// The local administration socket: one command line in, one reply out, per connection. Only the
// owner (and root) may connect: the socket is made with mode 0600.
class AdminSocket {
public:
    AdminSocket(boost::asio::io_context& loop, Room& room);
    ~AdminSocket();
    AdminSocket(const AdminSocket&) = delete;
    AdminSocket& operator=(const AdminSocket&) = delete;
    // Binds the socket file, holding the lock file PATH.lock beside it; false with the reason when
    // another server holds that lock or the socket cannot be made. A stale socket is replaced.
    bool open(const std::string& path, std::string& error);
    // Stops accepting and closes every admin connection, answered or not.
    void close();

private:
    void accept();

    boost::asio::local::stream_protocol::acceptor acceptor_;
    Room& room_;
    std::string path_;
    int lock_ = -1;
    std::vector<std::weak_ptr<AdminConnection>> connections_;
};

// Sends one command to the server behind the socket and prints its reply; the process status.
int runAdminCommand(const std::string& path, const std::vector<std::string>& command);

} // namespace server

#pragma once

#include <boost/asio.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct redisAsyncContext;

// One connection to Redis through hiredis's asynchronous API, driven by the server's own event
// loop: no thread, no blocking call. A command without a reply within the limit ends the
// connection, as a lost one does; every command still waiting then completes with ok false.
namespace redis {

struct Reply {
    enum class Type { Nil, Status, Error, Integer, String, Array } type = Type::Nil;
    std::string str;          // Status, Error, String
    long long integer = 0;    // Integer
    std::vector<Reply> array; // Array
    bool isError() const { return type == Type::Error; }
};

// ok is false when the connection ended before the reply; reply.str then says why.
using Callback = std::function<void(bool ok, Reply reply)>;

constexpr std::chrono::milliseconds replyLimit{1000};

class Connection {
public:
    // Starts connecting to an IP address (no name lookup: that would block). connected runs once,
    // with an error when it failed; lost runs at most once, later, when a working connection ends
    // for any reason but close(). Both run from the loop, never inside a call of this class.
    Connection(boost::asio::io_context& loop, const std::string& ip, std::uint16_t port,
               std::function<void(bool ok, std::string error)> connected,
               std::function<void(std::string why)> lost);
    // Ends the connection; commands still waiting complete with ok false.
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Sends one command; done runs once, from the loop.
    void command(std::vector<std::string> args, Callback done);
    // Subscribes to one channel; subscribed runs on the server's confirmation, message for each
    // message published afterwards. A subscribed connection takes no other command.
    void subscribe(const std::string& channel, std::function<void()> subscribed,
                   std::function<void(std::string message)> message);
    // Ends the connection now; nothing more is reported.
    void close();

    struct State; // shared with hiredis's callbacks and the loop's pending handlers

private:
    std::shared_ptr<State> state_;
};

} // namespace redis

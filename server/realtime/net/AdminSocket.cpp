#include "server/realtime/net/AdminSocket.hpp"

#include "server/realtime/room/Room.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

namespace server {

namespace asio = boost::asio;
using local = asio::local::stream_protocol;

namespace {

// A command must arrive whole within this time: an idle connection must not hold the server.
constexpr std::chrono::seconds commandDeadline{5};

} // namespace

// One admin connection: reads "COMMAND[\tARGUMENT...]\n", answers "ok\n" or "error\n" and the text.
class AdminConnection : public std::enable_shared_from_this<AdminConnection> {
public:
    AdminConnection(local::socket socket, Room& room)
        : socket_(std::move(socket)), deadline_(socket_.get_executor()), room_(room) {}

    void start() {
        deadline_.expires_after(commandDeadline);
        deadline_.async_wait([weak = weak_from_this()](boost::system::error_code ec) {
            if (auto self = weak.lock(); self && !ec) {
                logLine("admin: closed a connection that sent no whole command within 5 s");
                self->close();
            }
        });
        asio::async_read_until(socket_, buffer_, '\n',
                               [self = shared_from_this()](boost::system::error_code ec, std::size_t n) {
                                   self->deadline_.cancel();
                                   if (!ec)
                                       self->run(n);
                                   else
                                       self->close();
                               });
    }

    void close() {
        boost::system::error_code ignored;
        deadline_.cancel();
        socket_.close(ignored);
    }

private:
    void run(std::size_t n) {
        const std::string line(asio::buffers_begin(buffer_.data()),
                               asio::buffers_begin(buffer_.data()) + n - 1);
        std::vector<std::string> words;
        for (std::size_t start = 0;;) {
            const auto tab = line.find('\t', start);
            words.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        const std::string& command = words[0];
        const std::string argument = words.size() > 1 ? words[1] : "";
        auto reply = [self = shared_from_this()](bool ok, std::string text) {
            self->reply_ = (ok ? "ok\n" : "error\n") + text;
            asio::async_write(self->socket_, asio::buffer(self->reply_),
                              [self](boost::system::error_code, std::size_t) { self->close(); });
        };
        if (command == "status") {
            room_.status(reply);
        } else if (command == "history") {
            room_.history(argument.empty() ? 20 : std::strtoul(argument.c_str(), nullptr, 10), reply);
        } else if (command == "users") {
            room_.users(reply);
        } else if (command == "forget" && words.size() > 1) {
            room_.forget(std::vector<std::string>(words.begin() + 1, words.end()), reply);
        } else if (command == "undo") {
            room_.undo(reply);
        } else if (command == "set") {
            const unsigned long total = std::strtoul(argument.c_str(), nullptr, 10);
            if (argument.empty() || argument.find_first_not_of("0123456789") != std::string::npos ||
                argument.size() > 5 || total > 65535)
                reply(false, "set takes a total from 0 to 65535\n");
            else
                room_.setTotal(static_cast<std::uint16_t>(total), reply);
        } else if (command == "backup" && !argument.empty()) {
            room_.backup(argument, reply);
        } else {
            reply(false, "unknown command\n");
        }
    }

    local::socket socket_;
    asio::steady_timer deadline_;
    Room& room_;
    asio::streambuf buffer_{4096};
    std::string reply_;
};

AdminSocket::AdminSocket(asio::io_context& loop, Room& room) : acceptor_(loop), room_(room) {}

AdminSocket::~AdminSocket() {
    close();
}

bool AdminSocket::open(const std::string& path, std::string& error) {
    // The lock, held for the process's life, is what makes one server the owner of the path: a
    // probe of the socket and then an unlink could remove a socket another server just made.
    const std::string lockPath = path + ".lock";
    lock_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_ < 0) {
        error = "cannot make the admin socket's lock " + lockPath + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(lock_, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? "another brannoc-server answers on " + path
                                     : "cannot lock " + lockPath + ": " + std::strerror(errno);
        ::close(lock_);
        lock_ = -1;
        return false;
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            error = path + " exists and is not a socket";
            return false;
        }
        // Left by a server that no longer holds the lock.
        ::unlink(path.c_str());
    }
    boost::system::error_code ec;
    acceptor_.open(local(), ec);
    // Made with mode 0600 from the start: no moment in which others could connect.
    const mode_t previous = ::umask(0177);
    if (!ec)
        acceptor_.bind(local::endpoint(path), ec);
    ::umask(previous);
    if (!ec)
        acceptor_.listen(16, ec);
    if (ec) {
        error = "cannot make the admin socket " + path + ": " + ec.message();
        return false;
    }
    path_ = path;
    accept();
    return true;
}

void AdminSocket::accept() {
    acceptor_.async_accept([this](boost::system::error_code ec, local::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor_.is_open())
            return;
        if (!ec) {
            auto connection = std::make_shared<AdminConnection>(std::move(socket), room_);
            // Forget the ones that are gone, so a stream of short commands keeps the list short.
            connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                              [](const auto& weak) { return weak.expired(); }),
                               connections_.end());
            connections_.push_back(connection);
            connection->start();
        }
        accept();
    });
}

void AdminSocket::close() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    for (const auto& weak : connections_)
        if (auto connection = weak.lock())
            connection->close();
    connections_.clear();
    if (!path_.empty())
        ::unlink(path_.c_str());
    path_.clear();
    if (lock_ >= 0)
        ::close(lock_);
    lock_ = -1;
}

int runAdminCommand(const std::string& path, const std::vector<std::string>& command) {
    asio::io_context loop;
    local::socket socket(loop);
    boost::system::error_code ec;
    socket.connect(local::endpoint(path), ec);
    if (ec) {
        std::fprintf(stderr, "brannoc-server: cannot reach a server at %s: %s\n", path.c_str(),
                     ec.message().c_str());
        return 1;
    }
    std::string line = command[0];
    for (std::size_t i = 1; i < command.size(); ++i)
        line += "\t" + command[i];
    line += "\n";
    asio::write(socket, asio::buffer(line), ec);
    std::string reply;
    char chunk[4096];
    while (!ec) {
        const std::size_t n = socket.read_some(asio::buffer(chunk), ec);
        reply.append(chunk, n);
    }
    if (ec != asio::error::eof) {
        std::fprintf(stderr, "brannoc-server: no reply from %s: %s\n", path.c_str(), ec.message().c_str());
        return 1;
    }
    const bool ok = reply.rfind("ok\n", 0) == 0;
    const auto body =
        reply.substr(reply.find('\n') == std::string::npos ? reply.size() : reply.find('\n') + 1);
    std::fwrite(body.data(), 1, body.size(), ok ? stdout : stderr);
    return ok ? 0 : 1;
}

} // namespace server

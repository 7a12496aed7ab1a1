#include "server/realtime/AdminSocket.hpp"

#include "server/realtime/Room.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

namespace server {

namespace asio = boost::asio;
using local = asio::local::stream_protocol;

namespace {

// One admin connection: reads "COMMAND\tARGUMENT\n", answers "ok\n" or "error\n" and the text.
class AdminConnection : public std::enable_shared_from_this<AdminConnection> {
public:
    AdminConnection(local::socket socket, Room& room) : socket_(std::move(socket)), room_(room) {}

    void start() {
        asio::async_read_until(socket_, buffer_, '\n',
                               [self = shared_from_this()](boost::system::error_code ec, std::size_t n) {
                                   if (!ec)
                                       self->run(n);
                               });
    }

private:
    void run(std::size_t n) {
        std::string line(asio::buffers_begin(buffer_.data()), asio::buffers_begin(buffer_.data()) + n - 1);
        const auto tab = line.find('\t');
        const std::string command = line.substr(0, tab);
        const std::string argument = tab == std::string::npos ? "" : line.substr(tab + 1);
        auto reply = [self = shared_from_this()](bool ok, std::string text) {
            self->reply_ = (ok ? "ok\n" : "error\n") + text;
            asio::async_write(self->socket_, asio::buffer(self->reply_),
                              [self](boost::system::error_code, std::size_t) {
                                  boost::system::error_code ignored;
                                  self->socket_.close(ignored);
                              });
        };
        if (command == "status") {
            room_.status(reply);
        } else if (command == "history") {
            room_.history(argument.empty() ? 20 : std::strtoul(argument.c_str(), nullptr, 10), reply);
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
    Room& room_;
    asio::streambuf buffer_{4096};
    std::string reply_;
};

} // namespace

AdminSocket::AdminSocket(asio::io_context& loop, Room& room) : acceptor_(loop), room_(room) {}

bool AdminSocket::open(const std::string& path, std::string& error) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            error = path + " exists and is not a socket";
            return false;
        }
        local::socket probe(acceptor_.get_executor());
        boost::system::error_code ec;
        probe.connect(local::endpoint(path), ec);
        if (!ec) {
            error = "another brannoc-server answers on " + path;
            return false;
        }
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
        if (!ec)
            std::make_shared<AdminConnection>(std::move(socket), room_)->start();
        accept();
    });
}

void AdminSocket::close() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    if (!path_.empty())
        ::unlink(path_.c_str());
    path_.clear();
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
    if (command.size() > 1)
        line += "\t" + command[1];
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

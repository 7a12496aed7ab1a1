// brannoc-server: holds the shared tally and serves it to every client over TCP, or, given a
// command, administers a running server through its local socket.

#include "server/common/Listen.hpp"
#include "server/common/Log.hpp"
#include "server/common/Notify.hpp"
#include "server/common/PeerAddress.hpp"
#include "server/realtime/Options.hpp"
#include "server/realtime/net/AdminSocket.hpp"
#include "server/realtime/net/Session.hpp"
#include "server/realtime/net/Viewer.hpp"
#include "server/realtime/room/Room.hpp"
#include "server/realtime/store/RedisStorage.hpp"
#include "server/realtime/store/SqliteStorage.hpp"

#include <boost/asio.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// Accepts the game clients' connections, or with overlay set the overlay's HTTP connections.
class Listener {
public:
    Listener(asio::io_context& loop, server::Room& room, bool overlay = false)
        : acceptor_(loop), retry_(loop), room_(room), overlay_(overlay) {}

    bool open(const std::string& address, std::uint16_t port, std::string& error) {
        boost::system::error_code ec;
        const auto ip = asio::ip::make_address(address, ec);
        if (ec) {
            error = std::string(overlay_ ? "--http-bind" : "--bind") + ": \"" + address +
                    "\" is not an IP address";
            return false;
        }
        ec = peer::listenOn(acceptor_, tcp::endpoint(ip, port));
        if (ec) {
            error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + ec.message();
            return false;
        }
        accept();
        return true;
    }

    void close() {
        boost::system::error_code ignored;
        acceptor_.close(ignored);
        retry_.cancel();
    }

private:
    void accept() {
        acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
            if (!acceptor_.is_open())
                return;
            if (ec) {
                server::logLine(serverlog::Level::Warning, "accept failed: " + ec.message());
                peer::acceptLater(retry_, [this] { accept(); });
                return;
            }
            boost::system::error_code remoteError;
            const auto remote = socket.remote_endpoint(remoteError);
            if (!remoteError) {
                // A socket bound to :: sees IPv4 peers as ::ffff:a.b.c.d; they are IPv4 peers.
                const auto ip = peer::canonical(remote.address());
                const std::string address = ip.to_string();
                const std::string peer = peer::label(address, remote.port());
                const bool proxied = room_.fromBalancer(ip);
                if (overlay_) {
                    if (room_.admit(address, peer))
                        room_.watch(
                            std::make_shared<server::Viewer>(std::move(socket), room_, address, peer));
                } else if (room_.admit(address, peer, !proxied))
                    room_.join(
                        std::make_shared<server::Session>(std::move(socket), room_, address, peer, proxied));
            }
            accept();
        });
    }

    tcp::acceptor acceptor_;
    asio::steady_timer retry_;
    server::Room& room_;
    bool overlay_;
};

std::string processId(std::uint16_t port) {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    return std::string(host) + "/" + std::to_string(::getpid()) + "/" + std::to_string(port);
}

int fail(const std::string& message) {
    serverlog::line(serverlog::Level::Error, "brannoc-server: " + message);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    server::Options options;
    std::string error;
    if (!server::parseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "brannoc-server: %s\n%s", error.c_str(), server::usage);
        return 2;
    }
    if (options.mode == server::Options::Mode::Help) {
        std::fputs(server::usage, stdout);
        return 0;
    }
    const std::string database =
        !options.database.empty()
            ? options.database
            : server::defaultDatabase(std::getenv("XDG_STATE_HOME"), std::getenv("HOME"));
    const std::string adminPath =
        !options.adminSocket.empty() ? options.adminSocket : server::defaultAdminSocket(database);

    if (options.mode == server::Options::Mode::Admin) {
        auto command = options.command;
        // The server resolves paths from its own folder: send the backup's as the admin meant it.
        if (command[0] == "backup" && command[1][0] != '/') {
            std::error_code ec;
            command[1] = (std::filesystem::current_path(ec) / command[1]).string();
        }
        return server::runAdminCommand(adminPath, command);
    }

    // hiredis writes with write(2): a peer gone mid-write must be an error value, not the end.
    std::signal(SIGPIPE, SIG_IGN);

    // Every connection is a descriptor: a desktop's usual soft limit of 1024 would refuse clients
    // long before --max-connections, so take what the hard limit allows.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }

    std::set<asio::ip::address> proxies;
    for (const auto& text : options.proxyFrom) {
        boost::system::error_code ec;
        const auto address = asio::ip::make_address(text, ec);
        if (ec)
            return fail("--proxy-from: \"" + text + "\" is not an IP address");
        proxies.insert(peer::canonical(address));
    }

    asio::io_context loop(1);
    std::unique_ptr<server::Storage> storage;
    std::string where = "database " + database;
    if (!options.redis.empty()) {
        // The storage looks the host up itself, on the loop, before each connection.
        std::string host;
        std::uint16_t port = 0;
        server::splitHostPort(options.redis, host, port);
        storage = std::make_unique<server::RedisStorage>(loop, host, port, processId(options.port));
        where = "Redis " + options.redis;
    } else {
        storage = server::SqliteStorage::open(loop, database, error);
    }
    if (!storage)
        return fail(error);

    std::optional<server::Snapshot> snapshot;
    bool loaded = false;
    storage->load([&](bool ok, std::string loadError, server::Snapshot tally) {
        loaded = true;
        if (ok)
            snapshot = std::move(tally);
        else
            error = std::move(loadError);
    });
    {
        // The completion comes from the storage's own thread: keep the loop waiting for it.
        const auto guard = asio::make_work_guard(loop);
        while (!loaded && loop.run_one() > 0) {
        }
    }
    loop.restart();
    if (!snapshot)
        return fail("cannot read " + (options.redis.empty() ? database : "the tally from Redis") + ": " +
                    error);

    server::Limits limits;
    limits.maxConnections = options.maxConnections;
    limits.maxPerAddress = options.maxPerAddress;
    limits.proxies = std::move(proxies);
    server::Room room(loop, *storage, std::move(limits), *snapshot);
    room.serveMetrics(options.metrics);
    storage->listen(room);
    Listener listener(loop, room);
    Listener overlay(loop, room, true);
    const std::string httpBind = options.httpBind.empty() ? options.bind : options.httpBind;
    server::AdminSocket admin(loop, room);
    bool closed = false;
    bool stopping = false;
    asio::signal_set signals(loop, SIGINT, SIGTERM);
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> closing;
    // systemd's watchdog is fed from this loop, so a wedged loop stops feeding it.
    asio::steady_timer watchdog(loop);
    const auto watchdogEvery = notify::watchdogInterval(
        std::getenv("WATCHDOG_USEC"), std::getenv("WATCHDOG_PID"), static_cast<long>(::getpid()));
    std::function<void()> feed = [&] {
        notify::send("WATCHDOG=1");
        watchdog.expires_after(watchdogEvery);
        watchdog.async_wait([&](boost::system::error_code ec) {
            if (!ec && !stopping)
                feed();
        });
    };
    auto stop = [&] {
        if (!stopping)
            notify::send("STOPPING=1");
        stopping = true;
        watchdog.cancel();
        listener.close();
        overlay.close();
        admin.close();
        // The storage finishes on its own thread: the loop must wait for its word.
        closing.emplace(loop.get_executor());
        room.shutdown([&] {
            closed = true;
            // A second signal ends the process at once until here; now nothing is left to wait for.
            boost::system::error_code ignored;
            signals.cancel(ignored);
            closing.reset();
        });
    };
    if (!listener.open(options.bind, options.port, error) ||
        (options.httpPort != 0 && !overlay.open(httpBind, options.httpPort, error)) ||
        !admin.open(adminPath, error)) {
        stop();
        loop.run();
        return fail(error);
    }

    std::function<void(boost::system::error_code, int)> onSignal = [&](boost::system::error_code ec,
                                                                       int signal) {
        if (ec)
            return;
        const char* name = signal == SIGINT ? "SIGINT" : "SIGTERM";
        if (stopping) {
            // Asked twice: the operator will not wait. Every increment a client saw is on disk.
            server::logLine(serverlog::Level::Warning, std::string("stopping at once on a second ") + name);
            std::_Exit(1);
        }
        server::logLine(std::string("stopping on ") + name);
        stop();
        signals.async_wait(onSignal);
    };
    signals.async_wait(onSignal);
    if (options.httpPort != 0) {
        const bool v6 = httpBind.find(':') != std::string::npos;
        server::logLine("brannoc-server: overlay on http://" + (v6 ? "[" + httpBind + "]" : httpBind) + ":" +
                        std::to_string(options.httpPort) + "/overlay");
    }
    server::logLine("brannoc-server: listening on " + options.bind + ":" + std::to_string(options.port) +
                    ", total " + std::to_string(snapshot->total) + ", " + where + ", admin socket " +
                    adminPath);
    notify::send("READY=1\nSTATUS=serving, total " + std::to_string(snapshot->total));
    if (watchdogEvery.count() > 0)
        feed();
    loop.run();
    server::logLine(closed ? serverlog::Level::Info : serverlog::Level::Error,
                    closed ? "stopped" : "stopped before the database closed");
    return closed ? 0 : 1;
}

// brannoc-web: the web service the client signs in against. See serviceUsage() for the flags and
// server/web/Users.hpp for the users file.

#include "server/common/Log.hpp"
#include "server/common/Notify.hpp"
#include "server/web/ServiceOptions.hpp"
#include "server/web/Users.hpp"
#include "server/web/WebServer.hpp"
#include "server/web/WebService.hpp"
#include "text/SafeText.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

void logLine(serverlog::Level level, const std::string& line) {
    serverlog::line(level, SafeText::printable("brannoc-web: " + line));
}

std::string programDir(const char* argv0) {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error)
        return self.parent_path().string();
    return std::filesystem::path(argv0 ? argv0 : "").parent_path().string();
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// SIGHUP reads the users file again; SIGINT or SIGTERM close the server, and the loop ends once
// every connection is closed.
void awaitSignal(boost::asio::signal_set& signals, const std::function<void()>& stop,
                 std::shared_ptr<const WebUsers>& users, const std::string& usersFile) {
    signals.async_wait([s = &signals, stop = &stop, users = &users,
                        usersFile = &usersFile](boost::system::error_code ec, int signal) {
        if (ec)
            return;
        if (signal != SIGHUP) {
            (*stop)();
            return;
        }
        UsersRead read = readUsersFile(*usersFile);
        if (read.users) {
            logLine(serverlog::Level::Info,
                    "reloaded " + std::to_string(read.users->byToken.size()) + " users");
            *users = std::move(read.users);
        } else {
            logLine(serverlog::Level::Warning, "reload refused, keeping the previous users: " + read.error);
        }
        awaitSignal(*s, *stop, *users, *usersFile);
    });
}

int run(int argc, char** argv) {
    // First of all, so a stop during start-up waits for the loop rather than killing the process.
    boost::asio::io_context loop(1);
    boost::asio::signal_set signals(loop, SIGHUP, SIGINT, SIGTERM);
    std::signal(SIGPIPE, SIG_IGN);

    const OptionDefaults defaults{environment("XDG_CONFIG_HOME"), environment("HOME"),
                                  programDir(argc > 0 ? argv[0] : nullptr)};
    const OptionsRead read = readServiceOptions(std::vector<std::string>(argv + 1, argv + argc), defaults);
    if (read.action == OptionsRead::Action::Help) {
        std::fputs(serviceUsage(defaults).c_str(), stdout);
        return 0;
    }
    if (read.action == OptionsRead::Action::Refuse) {
        logLine(serverlog::Level::Error, read.error + " (see --help)");
        return 2;
    }
    const ServiceOptions& options = read.options;

    UsersRead users = readUsersFile(options.usersFile);
    if (!users.users) {
        logLine(serverlog::Level::Error, users.error);
        return 1;
    }
    std::error_code error;
    if (!options.avatarsDir.empty() && !std::filesystem::is_directory(options.avatarsDir, error)) {
        logLine(serverlog::Level::Error, "the avatars folder " + options.avatarsDir + " is not a folder");
        return 1;
    }
    if (!readImageFile(options.defaultAvatar))
        logLine(serverlog::Level::Warning, "warning: no usable default avatar at " + options.defaultAvatar +
                                               "; default.jpg answers 404");
    const ImageFiles images{options.avatarsDir, options.defaultAvatar};
    std::shared_ptr<const WebUsers> table = std::move(users.users);

    // Every connection is a descriptor: a usual soft limit of 1024 would refuse clients long before
    // --max-connections, so take what the hard limit allows.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }

    web::WebServer server(
        loop, options.maxConnections, options.maxPerAddress,
        [&table, &images](const WebRequest& request) { return handleWebRequest(request, *table, images); },
        logLine, options.metrics);
    std::string listenError;
    if (!server.open(options.bind, static_cast<std::uint16_t>(options.port), listenError)) {
        logLine(serverlog::Level::Error,
                listenError +
                    (options.port < 1024 ? " (ports below 1024 need root or CAP_NET_BIND_SERVICE)" : ""));
        return 1;
    }
    logLine(serverlog::Level::Info, "serving " + std::to_string(table->byToken.size()) + " users on " +
                                        options.bind + " port " + std::to_string(options.port));
    // systemd's watchdog is fed from this loop, so a wedged loop stops feeding it.
    boost::asio::steady_timer watchdog(loop);
    const std::function<void()> stop = [&] {
        notify::send("STOPPING=1");
        watchdog.cancel();
        server.close();
    };
    awaitSignal(signals, stop, table, options.usersFile);
    const auto every = notify::watchdogInterval(std::getenv("WATCHDOG_USEC"), std::getenv("WATCHDOG_PID"),
                                                static_cast<long>(::getpid()));
    std::function<void()> feed = [&] {
        if (!server.listening())
            return;
        notify::send("WATCHDOG=1");
        watchdog.expires_after(every);
        watchdog.async_wait([&](boost::system::error_code ec) {
            if (!ec)
                feed();
        });
    };
    notify::send("READY=1");
    if (every.count() > 0)
        feed();
    loop.run();
    logLine(serverlog::Level::Info, "stopped");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        logLine(serverlog::Level::Error, error.what());
        return 1;
    }
}

// brannoc-web: the web service the client signs in against. See serviceUsage() for the flags and
// server/web/Users.hpp for the users file.

#include "server/web/ServiceOptions.hpp"
#include "server/web/Users.hpp"
#include "server/web/WebService.hpp"
#include "text/SafeText.hpp"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

namespace {

void logLine(const std::string& line) {
    // One write per line, so lines from the server's threads do not interleave.
    std::fprintf(stderr, "%s\n", SafeText::printable("brannoc-web: " + line).c_str());
}

// The table the server's threads read while SIGHUP may replace it: each request keeps the
// table it started with alive until it is done.
class UsersSlot {
public:
    explicit UsersSlot(std::shared_ptr<const WebUsers> users) : users_(std::move(users)) {}
    std::shared_ptr<const WebUsers> load() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return users_;
    }
    void store(std::shared_ptr<const WebUsers> users) {
        std::lock_guard<std::mutex> lock(mutex_);
        users_.swap(users);
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const WebUsers> users_;
};

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

// Waits for the blocked signals: SIGHUP reloads, SIGINT/SIGTERM stop the server.
void handleSignals(const sigset_t& set, httplib::Server& server, UsersSlot& slot,
                   const std::string& usersFile, const std::atomic<bool>& listenEnded) {
    try {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0)
                continue;
            if (signal == SIGHUP) {
                UsersRead read = readUsersFile(usersFile);
                if (read.users) {
                    logLine("reloaded " + std::to_string(read.users->byToken.size()) + " users");
                    slot.store(std::move(read.users));
                } else {
                    logLine("reload refused, keeping the previous users: " + read.error);
                }
                continue;
            }
            // stop() is a no-op until listening has begun; a signal landing just after the bind
            // waits for it, briefly.
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (!server.is_running() && !listenEnded && std::chrono::steady_clock::now() < limit)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            server.stop();
            return;
        }
    } catch (const std::exception& error) {
        logLine(std::string("signal thread failed: ") + error.what());
        server.stop();
    }
}

int run(int argc, char** argv) {
    // Blocked from the start and before any thread exists, so every thread inherits the mask, only
    // sigwait sees them, and a stop during start-up is as clean as one later.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const OptionDefaults defaults{environment("XDG_CONFIG_HOME"), environment("HOME"),
                                  programDir(argc > 0 ? argv[0] : nullptr)};
    const OptionsRead read = readServiceOptions(std::vector<std::string>(argv + 1, argv + argc), defaults);
    if (read.action == OptionsRead::Action::Help) {
        std::fputs(serviceUsage(defaults).c_str(), stdout);
        return 0;
    }
    if (read.action == OptionsRead::Action::Refuse) {
        logLine(read.error + " (see --help)");
        return 2;
    }
    const ServiceOptions& options = read.options;

    UsersRead users = readUsersFile(options.usersFile);
    if (!users.users) {
        logLine(users.error);
        return 1;
    }
    std::error_code error;
    if (!options.avatarsDir.empty() && !std::filesystem::is_directory(options.avatarsDir, error)) {
        logLine("the avatars folder " + options.avatarsDir + " is not a folder");
        return 1;
    }
    if (!readImageFile(options.defaultAvatar))
        logLine("warning: no usable default avatar at " + options.defaultAvatar +
                "; default.jpg answers 404");
    const ImageFiles images{options.avatarsDir, options.defaultAvatar};
    UsersSlot slot(std::move(users.users));

    httplib::Server server;
    const auto serve = [&slot, &images](const httplib::Request& request, httplib::Response& response) {
        const std::shared_ptr<const WebUsers> table = slot.load();
        const WebReply reply = handleWebRequest({request.method, request.path, request.body}, *table, images);
        response.status = reply.status;
        response.set_content(reply.body, reply.contentType.c_str());
        logLine(request.method + " " + request.path + " from " + request.remote_addr + ":" +
                std::to_string(request.remote_port) + ": " + reply.outcome);
    };
    server.Get(".*", serve);
    server.Post(".*", serve);
    // Every body the client sends is a short form; a large one is not worth holding in memory.
    server.set_payload_max_length(64 * 1024);
    if (!server.bind_to_port(options.bind.c_str(), options.port)) {
        logLine("cannot listen on " + options.bind + " port " + std::to_string(options.port) +
                (options.port < 1024 ? " (ports below 1024 need root or CAP_NET_BIND_SERVICE)" : ""));
        return 1;
    }
    logLine("serving " + std::to_string(slot.load()->byToken.size()) + " users on " + options.bind +
            " port " + std::to_string(options.port));

    std::atomic<bool> listenEnded{false};
    std::thread signals(handleSignals, std::cref(set), std::ref(server), std::ref(slot),
                        std::cref(options.usersFile), std::cref(listenEnded));
    const bool listened = server.listen_after_bind();
    listenEnded = true;
    // Wakes the signal thread if the server ended on its own.
    pthread_kill(signals.native_handle(), SIGTERM);
    signals.join();
    logLine(listened ? "stopped" : "the server failed");
    return listened ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "brannoc-web: %s\n", error.what());
        return 1;
    }
}

#pragma once

// What the cluster tests share: child processes with their output in a file, raw protocol
// clients, and waits that always have a limit.

#include "server/realtime/Wire.hpp"

#include <gtest/gtest.h>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace cluster {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// What must happen gets this long: the sanitizer builds are 5-10 times slower.
constexpr auto patience = 20s;

// User, display name, and count or state.
using Entries = std::vector<std::tuple<std::string, std::string, std::uint16_t>>;

struct Packet {
    std::string name;
    std::uint16_t total = 0; // deathcount
    Entries entries;         // deathindex, userstates
    // A user's count or state, or -1 when the list does not name the user.
    int valueOf(const std::string& user) const;
};

std::string frame(const std::string& name);
std::string whoami(const std::string& user, const std::string& display);

// A blocking TCP client whose every read waits with a limit.
class RawClient {
public:
    RawClient(std::uint16_t port, const std::string& from = "127.0.0.1");
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    const std::string& peer() const { return peer_; }
    void send(const std::string& bytes);
    // Reads packets until one matches; all of them, the match last (empty when it did not come).
    template <typename Match>
    std::vector<Packet> readUntil(Match match, const std::string& what, Clock::duration limit = patience) {
        const auto deadline = Clock::now() + limit;
        std::vector<Packet> seen;
        Packet packet;
        while (next(packet, deadline)) {
            seen.push_back(packet);
            if (match(packet))
                return seen;
        }
        ADD_FAILURE() << peer_ << ": no " << what << (closed_ ? " before the end" : " in time");
        return {};
    }
    Packet expect(const std::string& name);
    // Every packet up to the deathcount with this total.
    std::vector<Packet> until(std::uint16_t total);
    void ping();
    bool closedByServer();

private:
    bool next(Packet& packet, Clock::time_point deadline);
    int fd_ = -1;
    std::string peer_;
    wire::FrameReader frames_;
    bool closed_ = false;
    Clock::time_point lastSend_ = Clock::now();
};

// Polls a condition every 10 ms until it holds or the limit passes.
template <typename Condition> bool eventually(Condition condition, Clock::duration limit = patience) {
    for (const auto deadline = Clock::now() + limit; !condition();) {
        if (Clock::now() > deadline)
            return false;
        struct timespec pause {
            0, 10'000'000
        };
        ::nanosleep(&pause, nullptr);
    }
    return true;
}

std::string slurp(const std::string& path);
std::size_t linesWith(const std::string& text, const std::string& a, const std::string& b = "");

// A child process with standard output and error in one file.
pid_t spawn(const std::vector<std::string>& argv, const std::string& output);
// The wait status once it ends; killed past the limit.
int reap(pid_t pid);
// A TCP port that nothing listens on now.
std::uint16_t freePort();
// Whether something accepts connections on this loopback port.
bool accepts(std::uint16_t port);

// One brannoc-server process of the cluster.
struct Server {
    pid_t pid = -1;
    std::uint16_t port = 0;
    std::string log, admin;
};

// A redis-server on a free loopback port (a throw-away folder, the append-only file fsynced on
// every write) and brannoc-server processes sharing it. Stops them all, each checked, when it ends.
class Stack : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void startRedis();
    void stopRedis(int signal);
    Server& startServer(std::vector<std::string> extra = {});
    // Runs an admin command against one process; its exit code, its output in output.
    int admin(const Server& server, std::vector<std::string> command, std::string* output = nullptr);
    void waitForLog(const Server& server, const std::string& a, const std::string& b = "");

    std::string dir_;
    std::uint16_t redisPort_ = 0;
    pid_t redis_ = -1;
    std::vector<std::unique_ptr<Server>> servers_;
    std::vector<pid_t> helpers_; // further processes of a test (HAProxy, Xvfb), stopped at its end
};

} // namespace cluster

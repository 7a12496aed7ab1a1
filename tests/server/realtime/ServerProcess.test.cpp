// The real brannoc-server process on 127.0.0.1:34567 (in the test's own network namespace), driven
// by raw TCP clients and its admin command: the shared tally, presence, bad peers, the pacing and
// limits, durability across a kill -9, and admin changes reaching every client.

#include "server/realtime/Wire.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

extern char** environ;

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// What must happen gets this long: the sanitizer builds are 5-10 times slower.
constexpr auto patience = 10s;

// User, display name, and count or state.
using Entries = std::vector<std::tuple<std::string, std::string, std::uint16_t>>;

// One message from the server, decoded with the server's own reader.
struct Packet {
    std::string name;
    std::uint16_t total = 0; // deathcount
    Entries entries;         // deathindex, userstates
    // A user's count or state, or -1 when the list does not name the user.
    int valueOf(const std::string& user) const {
        for (const auto& [key, display, value] : entries)
            if (key == user)
                return value;
        return -1;
    }
};

bool decode(const std::string& data, Packet& packet) {
    wire::Reader reader(data);
    if (!reader.str(packet.name))
        return false;
    if (packet.name == "deathcount")
        return reader.u16(packet.total) && reader.atEnd();
    if (packet.name == "deathindex" || packet.name == "userstates") {
        std::uint16_t n = 0;
        if (!reader.u16(n))
            return false;
        packet.entries.resize(n);
        for (auto& [user, display, value] : packet.entries)
            if (!reader.str(user) || !reader.str(display) || !reader.u16(value))
                return false;
    }
    return reader.atEnd();
}

std::string frame(const std::string& name) {
    return wire::Writer(name).frame();
}

std::string whoami(const std::string& user, const std::string& display) {
    return wire::Writer("whoami").str(user).str(display).frame();
}

// A blocking TCP client whose every read waits with a limit.
class RawClient {
public:
    explicit RawClient(const std::string& from = "127.0.0.1") {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in local{AF_INET, 0, {}, {}};
        sockaddr_in server{AF_INET, htons(34567), {htonl(INADDR_LOOPBACK)}, {}};
        ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
        socklen_t size = sizeof local;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            ::connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size) != 0)
            ADD_FAILURE() << "cannot connect from " << from << ": " << std::strerror(errno);
        peer_ = from + ":" + std::to_string(ntohs(local.sin_port));
    }
    ~RawClient() { ::close(fd_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // How the server's log names this connection.
    const std::string& peer() const { return peer_; }

    void send(const std::string& bytes) {
        if (::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
            ADD_FAILURE() << peer_ << ": send failed: " << std::strerror(errno);
    }

    // Reads packets until one matches; returns them all, the match last (none when it did not come).
    template <typename Match> std::vector<Packet> readUntil(Match match, const std::string& what) {
        const auto deadline = Clock::now() + patience;
        std::vector<Packet> seen;
        std::string data;
        for (;;) {
            const auto status = frames_.next(data);
            if (status == wire::FrameReader::Status::Frame) {
                seen.emplace_back();
                EXPECT_TRUE(decode(data, seen.back())) << peer_ << ": malformed " << seen.back().name;
                if (match(seen.back()))
                    return seen;
            } else if (status == wire::FrameReader::Status::TooLarge || !fill(deadline)) {
                ADD_FAILURE() << peer_ << ": no " << what << (closed_ ? " before the end" : " in time");
                return {};
            }
        }
    }
    Packet expect(const std::string& name) {
        const auto seen = readUntil([&](const Packet& p) { return p.name == name; }, name);
        return seen.empty() ? Packet{} : seen.back();
    }
    std::vector<Packet> until(std::uint16_t total) {
        return readUntil([&](const Packet& p) { return p.name == "deathcount" && p.total == total; },
                         "deathcount " + std::to_string(total));
    }
    void ping() {
        send(frame("ping"));
        expect("pong");
    }

    // True when the server ends the stream within the limit.
    bool closedByServer(Clock::duration limit = patience) {
        const auto deadline = Clock::now() + limit;
        while (fill(deadline)) {
        }
        return closed_;
    }

private:
    // Reads what has come; false on time-out or at the end of the stream.
    bool fill(Clock::time_point deadline) {
        while (!closed_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0))) == 0)
                return false;
            char buffer[8192];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n > 0) {
                frames_.append(buffer, static_cast<std::size_t>(n));
                return true;
            }
            if (n < 0 && errno == EINTR)
                continue;
            EXPECT_TRUE(n == 0 || errno == ECONNRESET) << peer_ << ": recv failed: " << std::strerror(errno);
            closed_ = true;
        }
        return false;
    }

    int fd_ = -1;
    std::string peer_;
    wire::FrameReader frames_;
    bool closed_ = false;
};

using Clients = std::vector<std::unique_ptr<RawClient>>;

// Connected clients that have had their first tally.
Clients clients(std::size_t n, const std::string& from = "127.0.0.1") {
    Clients out;
    for (std::size_t i = 0; i < n; ++i)
        out.push_back(std::make_unique<RawClient>(from));
    for (auto& client : out)
        client->expect("userstates");
    return out;
}

void drop(Clients& group, const RawClient& client) {
    group.erase(std::find_if(group.begin(), group.end(), [&](const auto& c) { return c.get() == &client; }));
}

// Polls a condition every 10 ms until it holds or the limit passes.
template <typename Condition> bool eventually(Condition condition, Clock::duration limit = patience) {
    for (const auto deadline = Clock::now() + limit; !condition(); std::this_thread::sleep_for(10ms))
        if (Clock::now() > deadline)
            return false;
    return true;
}

std::string slurp(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

std::size_t linesWith(const std::string& text, const std::string& a, const std::string& b = "") {
    std::istringstream in(text);
    std::size_t n = 0;
    for (std::string line; std::getline(in, line);)
        n += line.find(a) != std::string::npos && line.find(b) != std::string::npos;
    return n;
}

class ServerProcess : public testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/brannoc-server-test-XXXXXX";
        ASSERT_NE(::mkdtemp(folder), nullptr);
        dir_ = folder;
    }

    void TearDown() override {
        if (pid_ > 0) {
            const int status = stop(SIGTERM);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "SIGTERM: " << log();
        }
        for (int i = 1; i <= starts_; ++i)
            EXPECT_EQ(linesWith(slurp(logPath(i)), "Sanitizer"), 0u) << slurp(logPath(i));
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // brannoc-server on the test's database with these arguments, both outputs to one file.
    pid_t spawn(std::vector<std::string> args, const std::string& output) {
        args.insert(args.begin(), {BRANNOC_BUILD_DIR "/brannoc-server", "--db", dir_ + "/tally.db"});
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t pid = -1;
        const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(rc, 0) << "posix_spawn: " << std::strerror(rc);
        return rc == 0 ? pid : -1;
    }

    // The child's wait status once it ends; killed past the limit.
    static int reap(pid_t pid) {
        int status = 0;
        if (pid > 0 && !eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; })) {
            ADD_FAILURE() << "process " << pid << " did not end in time";
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
        return status;
    }

    // Starts the server and waits until it says it listens (it accepts from then on).
    void start(const std::vector<std::string>& args = {}) {
        pid_ = spawn(args, logPath(++starts_));
        int status = 0;
        eventually([&] {
            if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_)
                pid_ = -1;
            return pid_ < 0 || linesWith(log(), "listening on") > 0;
        });
        ASSERT_TRUE(pid_ > 0 && linesWith(log(), "listening on") > 0) << "did not start: " << log();
    }

    int stop(int signal) {
        ::kill(pid_, signal);
        return reap(std::exchange(pid_, -1));
    }

    std::string logPath(int start) const { return dir_ + "/server-" + std::to_string(start) + ".log"; }
    std::string log() const { return slurp(logPath(starts_)); }
    void waitForLog(const std::string& a, const std::string& b = "") {
        EXPECT_TRUE(eventually([&] { return linesWith(log(), a, b) > 0; })) << a << " " << b << ":\n"
                                                                            << log();
    }

    // Runs an admin command; returns its exit code, and its output in output.
    int admin(const std::vector<std::string>& command, std::string* output = nullptr) {
        const int status = reap(spawn(command, dir_ + "/admin.out"));
        if (output)
            *output = slurp(dir_ + "/admin.out");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string dir_;
    int starts_ = 0;
    pid_t pid_ = -1;
};

TEST_F(ServerProcess, ManyClientsShareOneTallyAndSeeWhoIsOnline) {
    ASSERT_NO_FATAL_FAILURE(start());
    auto all = clients(50);
    RawClient &guest = *all[0], &alice = *all[1], &alice2 = *all[2], &bob = *all[3], &observer = *all[49];

    alice.send(whoami("alice", "Alice"));
    EXPECT_EQ(observer.expect("userstates").entries, Entries({{"alice", "Alice", 1}}));
    alice2.send(whoami("alice", "Alice"));
    bob.send(whoami("bob", "Bob"));
    waitForLog(alice2.peer() + " alice: whoami");
    waitForLog(bob.peer() + " bob: whoami");

    alice.send(frame("increment"));
    for (auto& client : all)
        client->until(1);
    EXPECT_EQ(observer.expect("deathindex").entries, Entries({{"alice", "Alice", 1}}));
    guest.send(frame("increment"));
    for (auto& client : all)
        client->until(2);
    EXPECT_EQ(observer.expect("deathindex").entries, Entries({{"Guest", "Guest", 1}}));
    waitForLog(guest.peer() + ": increment, total 2");

    RawClient late;
    EXPECT_EQ(late.expect("deathcount").total, 2);
    EXPECT_EQ(late.expect("deathindex").entries, Entries({{"Guest", "Guest", 1}, {"alice", "Alice", 1}}));
    EXPECT_EQ(late.expect("userstates").entries, Entries({{"alice", "Alice", 1}, {"bob", "Bob", 1}}));

    // Alice stays online while one of her two connections is left: the next change of who is online
    // goes out alone.
    const std::string gone = alice2.peer();
    drop(all, alice2);
    waitForLog(gone + " alice: disconnected");
    all[4]->send(whoami("carol", "Carol"));
    for (auto& client : all)
        EXPECT_EQ(client->expect("userstates").entries, Entries({{"carol", "Carol", 1}})) << client->peer();
    drop(all, alice);
    for (auto& client : all)
        EXPECT_EQ(client->expect("userstates").valueOf("alice"), 0) << client->peer();
}

TEST_F(ServerProcess, BadPeersAreClosedAloneWhileOthersAreServedPromptly) {
    ASSERT_NO_FATAL_FAILURE(start());
    auto good = clients(2);
    RawClient stalled, huge, unknown, longName, longestName;
    stalled.send(whoami("stalled", "Stalled").substr(0, 6));
    huge.send(std::string("\0\1\0\1", 4)); // 64 KiB and one byte announced
    unknown.send(frame("hello"));
    longName.send(whoami(std::string(65, 'n'), "Long"));
    longestName.send(whoami(std::string(64, 'n'), "Longest") + frame("ping"));

    EXPECT_TRUE(huge.closedByServer());
    EXPECT_TRUE(unknown.closedByServer());
    EXPECT_TRUE(longName.closedByServer());
    longestName.expect("pong");
    waitForLog(huge.peer() + ": disconnected");
    EXPECT_EQ(linesWith(log(), huge.peer()), 2u) << "connected, then disconnected:\n" << log();
    EXPECT_EQ(linesWith(log(), huge.peer(), "64 KiB"), 1u) << log();
    waitForLog(unknown.peer(), "unknown message");
    waitForLog(longName.peer(), "over 64 bytes");

    good[1]->ping();
    good[0]->ping();
    const auto sent = Clock::now();
    good[0]->send(frame("increment"));
    good[1]->until(1);
    EXPECT_LT(Clock::now() - sent, 3s) << "the increment waited for something";

    // Only the silent one is dropped; the others keep pinging meanwhile.
    const auto silentSince = Clock::now();
    while (!stalled.closedByServer(1s) && Clock::now() - silentSince < 15s)
        for (auto& client : good)
            client->ping();
    EXPECT_GT(Clock::now() - silentSince, 4s);
    waitForLog(stalled.peer(), "silent");
    for (auto& client : good)
        client->ping();
}

TEST_F(ServerProcess, BurstsAreCutToTenASecondAndBroadcastsMerged) {
    ASSERT_NO_FATAL_FAILURE(start());
    auto all = clients(5);
    std::string burst;
    for (int i = 0; i < 15; ++i)
        burst += frame("increment");
    all[1]->send(burst);
    all[0]->until(10);
    eventually([&] { return linesWith(log(), all[1]->peer(), "refused increment") >= 5; });
    EXPECT_EQ(linesWith(log(), all[1]->peer(), "refused increment"), 5u) << log();

    // Increments sent one by one from three connections reach the observer merged: its broadcasts
    // come 100 ms apart at least.
    const auto begin = Clock::now();
    for (std::size_t i = 0; i < 30; ++i) {
        all[2 + i % 3]->send(frame("increment") + frame("ping"));
        all[2 + i % 3]->expect("pong");
    }
    const auto seen = all[0]->until(40);
    const auto broadcasts =
        std::count_if(seen.begin(), seen.end(), [](auto& p) { return p.name == "deathcount"; });
    EXPECT_LE(broadcasts, (Clock::now() - begin) / 100ms + 1);
    RawClient late;
    EXPECT_EQ(late.expect("deathcount").total, 40);
    EXPECT_EQ(late.expect("deathindex").entries, Entries({{"Guest", "Guest", 40}}));

    // The total stops at its cap.
    EXPECT_EQ(admin({"set", "65535"}), 0);
    all[0]->until(65535);
    all[0]->send(frame("increment"));
    waitForLog(all[0]->peer(), "refused increment: the total is at 65535");
    RawClient capped;
    EXPECT_EQ(capped.expect("deathcount").total, 65535);
}

TEST_F(ServerProcess, ConnectionsFromOneAddressAreCapped) {
    ASSERT_NO_FATAL_FAILURE(start({"--max-per-address", "2"}));
    auto first = clients(2);
    RawClient third;
    EXPECT_TRUE(third.closedByServer());
    waitForLog(third.peer(), "refused: 2 connections from 127.0.0.1");
    clients(1, "127.0.0.2")[0]->ping();

    // A closed connection frees its place.
    first[0]->ping();
    const std::string gone = first[0]->peer();
    first.erase(first.begin());
    waitForLog(gone, "disconnected");
    RawClient again;
    again.ping();
}

TEST_F(ServerProcess, AcknowledgedIncrementsSurviveAKill) {
    ASSERT_NO_FATAL_FAILURE(start());
    auto all = clients(4);
    all[0]->send(whoami("alice", "Alice"));
    all[1]->send(whoami("bob", "Bob"));
    waitForLog(all[0]->peer(), "whoami");
    waitForLog(all[1]->peer(), "whoami");
    // Each increment is awaited before the next, so none meets the rate limit.
    for (std::uint16_t i = 1; i <= 30; ++i) {
        all[i % 3]->send(frame("increment"));
        all[3]->until(i);
    }
    ASSERT_TRUE(WIFSIGNALED(stop(SIGKILL)));

    ASSERT_NO_FATAL_FAILURE(start());
    RawClient late;
    EXPECT_EQ(late.expect("deathcount").total, 30);
    EXPECT_EQ(late.expect("deathindex").entries,
              Entries({{"Guest", "Guest", 10}, {"alice", "Alice", 10}, {"bob", "Bob", 10}}));
}

TEST_F(ServerProcess, AdminChangesReachEveryClient) {
    ASSERT_NO_FATAL_FAILURE(start());
    auto all = clients(3);
    all[0]->send(whoami("alice", "Alice"));
    waitForLog(all[0]->peer(), "whoami");

    EXPECT_EQ(admin({"set", "500"}), 0);
    for (auto& client : all)
        client->until(500);
    all[0]->send(frame("increment") + frame("increment"));
    for (auto& client : all)
        client->until(502);
    EXPECT_EQ(admin({"undo"}), 0);
    for (auto& client : all) {
        client->until(501);
        EXPECT_EQ(client->expect("deathindex").valueOf("alice"), 1) << client->peer();
    }

    std::string output;
    EXPECT_NE(admin({"set", "70000"}, &output), 0) << output;
    EXPECT_NE(admin({"set", "-1"}, &output), 0) << output;
    EXPECT_EQ(admin({"status"}, &output), 0);
    for (const char* line : {"connections: 3", "users online: 1 (alice)", "total: 501"})
        EXPECT_EQ(linesWith(output, line), 1u) << output;

    // A backup taken while two clients keep clicking holds a total from that span.
    const std::string copy = dir_ + "/copy.db";
    const pid_t backup = spawn({"backup", copy}, dir_ + "/backup.out");
    int clicks = 0, status = 0;
    for (; ::waitpid(backup, &status, WNOHANG) != backup && clicks < 60; ++clicks) {
        all[clicks % 2]->send(frame("increment"));
        all[2]->until(static_cast<std::uint16_t>(502 + clicks));
    }
    if (clicks == 60)
        status = reap(backup);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << slurp(dir_ + "/backup.out");
    sqlite3* db = nullptr;
    int copied = -1;
    EXPECT_EQ(sqlite3_open_v2(copy.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    const auto read = [](void* out, int, char** row, char**) {
        *static_cast<int*>(out) = std::atoi(row[0]);
        return 0;
    };
    EXPECT_EQ(sqlite3_exec(db, "SELECT total FROM tally", read, &copied, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
    EXPECT_TRUE(copied >= 501 && copied <= 501 + clicks) << copied << " after " << clicks << " clicks";
    EXPECT_EQ(admin({"backup", copy}, &output), 1) << "a backup overwrote a file";
}

} // namespace

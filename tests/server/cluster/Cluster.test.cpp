// Two brannoc-server processes sharing one tally through a real redis-server, each started by the
// test on a free loopback port in the test's own network namespace, Redis with a throw-away folder
// and the append-only file fsynced on every write. Driven by raw protocol clients.

#include "tests/server/cluster/Harness.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <memory>

using namespace cluster;

namespace {

// One brannoc-server process of the cluster.
struct Server {
    pid_t pid = -1;
    std::uint16_t port = 0;
    std::string log, admin;
};

class Cluster : public testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/brannoc-cluster-test-XXXXXX";
        ASSERT_NE(::mkdtemp(folder), nullptr);
        dir_ = folder;
        redisPort_ = freePort();
        ASSERT_NO_FATAL_FAILURE(startRedis());
    }

    void TearDown() override {
        for (auto& server : servers_)
            if (server->pid > 0) {
                ::kill(server->pid, SIGTERM);
                const int status = reap(std::exchange(server->pid, -1));
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                    << "SIGTERM: " << slurp(server->log);
            }
        for (auto& server : servers_)
            EXPECT_EQ(linesWith(slurp(server->log), "Sanitizer"), 0u) << slurp(server->log);
        stopRedis(SIGTERM);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    void startRedis() {
        redis_ = spawn({"redis-server", "--port", std::to_string(redisPort_), "--bind", "127.0.0.1", "--dir",
                        dir_, "--appendonly", "yes", "--appendfsync", "always", "--save", ""},
                       dir_ + "/redis.log");
        ASSERT_TRUE(eventually([&] {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{AF_INET, htons(redisPort_), {htonl(INADDR_LOOPBACK)}, {}};
            const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            ::close(fd);
            return up;
        })) << slurp(dir_ + "/redis.log");
    }

    void stopRedis(int signal) {
        if (redis_ > 0) {
            ::kill(redis_, signal);
            reap(std::exchange(redis_, -1));
        }
    }

    Server& startServer() {
        auto server = std::make_unique<Server>();
        const auto n = std::to_string(servers_.size() + 1);
        server->port = freePort();
        server->log = dir_ + "/server-" + n + ".log";
        server->admin = dir_ + "/admin-" + n + ".sock";
        server->pid =
            spawn({BRANNOC_BUILD_DIR "/brannoc-server", "--bind", "127.0.0.1", "--port",
                   std::to_string(server->port), "--redis", "127.0.0.1:" + std::to_string(redisPort_),
                   "--admin-socket", server->admin, "--db", dir_ + "/unused-" + n + ".db"},
                  server->log);
        EXPECT_TRUE(eventually([&] { return linesWith(slurp(server->log), "listening on") > 0; }))
            << "did not start: " << slurp(server->log);
        servers_.push_back(std::move(server));
        return *servers_.back();
    }

    // Runs an admin command against one process; its exit code, its output in output.
    int admin(const Server& server, std::vector<std::string> command, std::string* output = nullptr) {
        command.insert(command.begin(),
                       {BRANNOC_BUILD_DIR "/brannoc-server", "--admin-socket", server.admin});
        const std::string out = dir_ + "/admin.out";
        std::filesystem::remove(out);
        const int status = reap(spawn(command, out));
        if (output)
            *output = slurp(out);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void waitForLog(const Server& server, const std::string& a, const std::string& b = "") {
        EXPECT_TRUE(eventually([&] { return linesWith(slurp(server.log), a, b) > 0; }))
            << "no \"" << a << "\" \"" << b << "\" in:\n"
            << slurp(server.log);
    }

    std::string dir_;
    std::uint16_t redisPort_ = 0;
    pid_t redis_ = -1;
    std::vector<std::unique_ptr<Server>> servers_;
};

// A named client on a process, past its first tally.
std::unique_ptr<RawClient> join(const Server& server, const std::string& user) {
    auto client = std::make_unique<RawClient>(server.port);
    client->expect("userstates");
    if (!user.empty())
        client->send(whoami(user, user + "!"));
    return client;
}

// Reads until every one of these users was last sent with this state.
void waitForStates(RawClient& client, const std::vector<std::string>& users, int state) {
    std::map<std::string, int> last;
    client.readUntil(
        [&](const Packet& p) {
            if (p.name == "userstates")
                for (const auto& [user, display, value] : p.entries)
                    last[user] = value;
            return std::all_of(users.begin(), users.end(),
                               [&](const std::string& u) { return last.count(u) && last[u] == state; });
        },
        "the states of " + std::to_string(users.size()) + " users");
}

// The totals a client was sent, in order.
std::vector<std::uint16_t> totals(const std::vector<Packet>& packets) {
    std::vector<std::uint16_t> out;
    for (const auto& p : packets)
        if (p.name == "deathcount")
            out.push_back(p.total);
    return out;
}

TEST_F(Cluster, IncrementsAndAdminChangesThroughEitherProcessMakeOneTally) {
    Server& one = startServer();
    Server& two = startServer();
    auto watchOne = join(one, "");
    auto watchTwo = join(two, "");
    auto alice = join(one, "alice");
    auto bob = join(two, "bob");
    // Each sees the other process's user come online.
    for (auto* watcher : {watchOne.get(), watchTwo.get()})
        waitForStates(*watcher, {"alice", "bob"}, 1);

    for (int i = 0; i < 3; ++i) {
        alice->send(frame("increment"));
        bob->send(frame("increment"));
    }
    for (auto* watcher : {watchOne.get(), watchTwo.get()}) {
        const auto seen = watcher->until(6);
        const auto sequence = totals(seen);
        EXPECT_TRUE(std::is_sorted(sequence.begin(), sequence.end())) << "a total went down";
    }
    std::string text;
    ASSERT_EQ(admin(one, {"history"}, &text), 0);
    EXPECT_EQ(linesWith(text, "alice"), 3u) << text;
    EXPECT_EQ(linesWith(text, "bob"), 3u) << text;
    ASSERT_EQ(admin(two, {"status"}, &text), 0);
    EXPECT_EQ(linesWith(text, "total: 6"), 1u) << text;
    EXPECT_EQ(linesWith(text, "peer processes: 1"), 1u) << text;

    // An admin change at one process reaches the clients of the other.
    ASSERT_EQ(admin(two, {"undo"}, &text), 0);
    EXPECT_EQ(linesWith(text, "undid the increment of"), 1u) << text;
    const auto undone = watchOne->until(5);
    ASSERT_GE(undone.size(), 1u);
    ASSERT_EQ(admin(one, {"set", "40"}, &text), 0);
    watchTwo->until(5);
    watchTwo->until(40);
    // Backups belong to SQLite; Redis keeps its own.
    EXPECT_NE(admin(one, {"backup", dir_ + "/copy.db"}, &text), 0);
    EXPECT_EQ(linesWith(text, "Redis's own persistence"), 1u) << text;
}

TEST_F(Cluster, TheCapHoldsUnderIncrementsFromBothProcesses) {
    Server& one = startServer();
    Server& two = startServer();
    ASSERT_EQ(admin(one, {"set", "65530"}), 0);
    std::vector<std::unique_ptr<RawClient>> clicking;
    for (int i = 0; i < 8; ++i)
        clicking.push_back(join(i % 2 ? two : one, "user" + std::to_string(i)));
    for (int round = 0; round < 3; ++round)
        for (auto& client : clicking)
            client->send(frame("increment"));
    clicking[0]->until(65535);
    // All 24 are decided: five stored, the rest refused, at one process or the other.
    EXPECT_TRUE(eventually([&] {
        std::size_t decided = 0;
        for (const Server* server : {&one, &two})
            decided += linesWith(slurp(server->log), ": increment, total") +
                       linesWith(slurp(server->log), "refused increment: the total is at 65535");
        return decided == 24;
    })) << slurp(one.log)
        << slurp(two.log);
    std::size_t applied = 0;
    for (const Server* server : {&one, &two})
        applied += linesWith(slurp(server->log), ": increment, total");
    EXPECT_EQ(applied, 5u);
    std::string text;
    ASSERT_EQ(admin(two, {"history", "100"}, &text), 0);
    EXPECT_EQ(linesWith(text, "user"), 5u) << text;
}

TEST_F(Cluster, AKilledProcessesUsersGoOfflineAtTheOtherWithinSixSeconds) {
    Server& one = startServer();
    Server& two = startServer();
    auto watcher = join(one, "");
    auto carol = join(two, "carol");
    auto dave = join(two, "dave");
    auto daveToo = join(one, "dave"); // also held by the survivor: stays online
    waitForStates(*watcher, {"carol", "dave"}, 1);

    ::kill(two.pid, SIGKILL);
    reap(std::exchange(two.pid, -1));
    const auto killed = Clock::now();
    const auto seen = watcher->readUntil(
        [](const Packet& p) { return p.name == "userstates" && p.valueOf("carol") == 0; }, "carol offline");
    EXPECT_LT(Clock::now() - killed, 6s);
    for (const auto& p : seen)
        EXPECT_NE(p.name == "userstates" ? p.valueOf("dave") : -1, 0) << "dave went offline";
    // A later change proves the moment has passed without dave going offline.
    daveToo->send(frame("increment"));
    for (const auto& p : watcher->until(1))
        EXPECT_NE(p.name == "userstates" ? p.valueOf("dave") : -1, 0) << "dave went offline";
}

TEST_F(Cluster, RedisKilledAndRestartedLosesNoAcknowledgedIncrement) {
    Server& one = startServer();
    Server& two = startServer();
    auto alice = join(one, "alice");
    auto bob = join(two, "bob");
    for (int i = 0; i < 5; ++i)
        alice->send(frame("increment"));
    // Seen at the other process: stored, fsynced and published.
    bob->until(5);

    stopRedis(SIGKILL);
    waitForLog(one, "redis: unreachable");
    ASSERT_NO_FATAL_FAILURE(startRedis());
    waitForLog(one, "redis: back", "total 5");
    waitForLog(two, "redis: back", "total 5");
    bob->until(5);
    // The scripts are gone with the old Redis; the next increment loads its script again.
    bob->send(frame("increment"));
    alice->until(6);
    waitForLog(two, "bob: increment, total 6");
}

TEST_F(Cluster, WhileRedisIsAwayIncrementsAreRefusedAndItsReturnBringsEveryClientInStep) {
    Server& one = startServer();
    Server& two = startServer();
    auto alice = join(one, "alice");
    auto bob = join(two, "bob");
    auto erin = join(two, "erin");
    waitForStates(*alice, {"erin"}, 1);
    alice->send(frame("increment"));
    alice->until(1);
    bob->until(1);

    stopRedis(SIGKILL);
    waitForLog(one, "redis: unreachable");
    waitForLog(two, "redis: unreachable");
    alice->send(frame("increment"));
    waitForLog(one, "alice: refused increment: not stored");
    alice->ping();
    bob->ping();
    erin.reset(); // leaves while the others cannot hear of it
    waitForLog(two, "erin: disconnected");

    ASSERT_NO_FATAL_FAILURE(startRedis());
    // The whole tally again at both processes' clients, and erin's leaving at the other one's.
    for (auto* client : {alice.get(), bob.get()}) {
        client->expect("deathcount");
        const auto index = client->expect("deathindex");
        EXPECT_EQ(index.valueOf("alice"), 1);
        EXPECT_EQ(client->expect("userstates").valueOf("bob"), 1);
    }
    alice->readUntil([](const Packet& p) { return p.name == "userstates" && p.valueOf("erin") == 0; },
                     "erin offline");
    bob->send(frame("increment"));
    alice->until(2);
    waitForLog(two, "bob: increment, total 2");
}

} // namespace

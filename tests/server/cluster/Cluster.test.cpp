// Two brannoc-server processes sharing one tally through a real redis-server, each started by the
// test on a free loopback port in the test's own network namespace, Redis with a throw-away folder
// and the append-only file fsynced on every write. Driven by raw protocol clients.

#include "tests/server/cluster/Harness.hpp"

#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <map>

using namespace cluster;

namespace {

using Cluster = Stack;

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

TEST_F(Cluster, RedisAwayRefusesIncrementsAndItsRestartLosesNothingAndBringsEveryClientInStep) {
    Server& one = startServer();
    Server& two = startServer();
    auto alice = join(one, "alice");
    auto bob = join(two, "bob");
    auto erin = join(two, "erin");
    waitForStates(*alice, {"erin"}, 1);
    for (int i = 0; i < 5; ++i)
        alice->send(frame("increment"));
    alice->until(5);
    // Seen at the other process: stored, fsynced and published.
    bob->until(5);

    stopRedis(SIGKILL);
    waitForLog(one, "redis: unreachable");
    waitForLog(two, "redis: unreachable");
    alice->send(frame("increment"));
    waitForLog(one, "alice: refused increment: not stored");
    alice->ping();
    bob->ping();
    erin.reset(); // leaves while the others cannot hear of it
    waitForLog(two, "erin: disconnected");

    // The same folder: the append-only file brings back every acknowledged increment.
    ASSERT_NO_FATAL_FAILURE(startRedis());
    for (auto* client : {alice.get(), bob.get()}) {
        EXPECT_EQ(client->expect("deathcount").total, 5);
        EXPECT_EQ(client->expect("deathindex").valueOf("alice"), 5);
        EXPECT_EQ(client->expect("userstates").valueOf("bob"), 1);
    }
    waitForStates(*alice, {"erin"}, 0);
    // The scripts went with the old Redis: the next increment loads its script again.
    bob->send(frame("increment"));
    alice->until(6);
    waitForLog(two, "bob: increment, total 6");
}

} // namespace

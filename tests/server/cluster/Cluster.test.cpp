// Two brannoc-server processes on one real redis-server (fsync always), driven by raw clients and
// admin commands, then by real clients through HAProxy.

#include "tests/server/RawClient.hpp"
#include "tests/support/Harness.hpp"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string_view>
#include <thread>

namespace {

using proc::RawClient;
const std::string lo = "127.0.0.1";
constexpr std::chrono::milliseconds soon = 10s; // for what takes a moment, also under the sanitizers

// What a client was told: the total (and whether it ever went down), each user's count and state.
struct Told {
    int total = -1;
    bool down = false;
    std::map<std::string, int> counts, states;
    std::set<std::string> wentOffline;
    void take(const std::string& data) {
        wire::Reader in(data);
        std::string name, user, display;
        std::uint16_t n = 0, value = 0;
        if (!in.str(name) || !in.u16(n))
            return;
        if (name == "deathcount") {
            down = down || n < total;
            total = n;
        }
        while (name != "deathcount" && n-- > 0 && in.str(user) && in.str(display) && in.u16(value)) {
            (name == "deathindex" ? counts : states)[user] = value;
            if (name == "userstates" && value == 0)
                wentOffline.insert(user);
        }
    }
};

// Reads, pinging like a live client (a silent one is dropped), until done holds; false on time-out or end.
template <typename Done>
bool follow(RawClient& client, Told& told, Done done, std::chrono::milliseconds limit = soon) {
    std::string data;
    waitUntil(
        [&] {
            client.send(proc::ping);
            while (!done() && !(data = client.next()).empty() && data != proc::pong.substr(4))
                told.take(data);
            return done() || data.empty();
        },
        limit);
    return done();
}

// The lines of text that hold part, and start with start.
std::size_t lines(const std::string& text, const std::string& part, const std::string& start = "") {
    std::istringstream in(text);
    std::size_t n = 0;
    for (std::string line; std::getline(in, line);)
        n += line.rfind(start, 0) == 0 && line.find(part) != std::string::npos;
    return n;
}

// A TCP relay from 127.0.0.1:6380 to Redis on 6379 that can hold back what Redis sends to the
// connections that subscribed: they stay open and hear nothing, as behind a firewall that drops a flow.
class Relay {
public:
    std::atomic<bool> hold{false};
    Relay() {
        const int on = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in at{AF_INET, htons(6380), {htonl(INADDR_LOOPBACK)}, {}};
        EXPECT_TRUE(!bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) && !listen(listener_, 8));
        thread_ = std::thread([this] { run(); });
    }
    ~Relay() {
        stop_ = true;
        thread_.join();
        for (const auto& pair : pairs_)
            close(pair.client), close(pair.redis);
        close(listener_);
    }

private:
    struct Pair {
        int client, redis;
        bool subscribed = false;
    };
    void run() {
        while (!stop_) {
            std::vector<pollfd> fds{{listener_, POLLIN, 0}};
            for (const auto& p : pairs_) {
                fds.push_back({p.client, POLLIN, 0});
                fds.push_back({p.redis, static_cast<short>(p.subscribed && hold ? 0 : POLLIN), 0});
            }
            poll(fds.data(), fds.size(), 20);
            char buffer[65536];
            for (std::size_t i = 0; i < pairs_.size(); ++i)
                for (const bool fromClient : {true, false}) {
                    auto& p = pairs_[i];
                    if (p.client < 0 || !fds[1 + 2 * i + !fromClient].revents)
                        continue;
                    const auto n = read(fromClient ? p.client : p.redis, buffer, sizeof buffer);
                    if (n <= 0) {
                        close(p.client), close(p.redis), p.client = -1;
                        continue;
                    }
                    p.subscribed |=
                        fromClient && std::string_view(buffer, n).find("SUBSCRIBE") != std::string::npos;
                    send(fromClient ? p.redis : p.client, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL);
                }
            pairs_.erase(
                std::remove_if(pairs_.begin(), pairs_.end(), [](const Pair& p) { return p.client < 0; }),
                pairs_.end());
            if (fds[0].revents & POLLIN) {
                const int client = accept(listener_, nullptr, nullptr),
                          redis = socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in to{AF_INET, htons(6379), {htonl(INADDR_LOOPBACK)}, {}};
                if (connect(redis, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
                    pairs_.push_back({client, redis});
                else
                    close(client), close(redis);
            }
        }
    }
    int listener_ = socket(AF_INET, SOCK_STREAM, 0);
    std::vector<Pair> pairs_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class Cluster : public testing::Test {
protected:
    struct Server {
        std::unique_ptr<Process> process;
        std::uint16_t port;
        std::string admin;
        std::string log() const { return process->err(); }
    };

    void SetUp() override {
        ASSERT_NE(mkdtemp(dir.data()), nullptr);
        ASSERT_NO_FATAL_FAILURE(startRedis());
    }
    void TearDown() override {
        for (auto& server : servers)
            if (server.process) {
                server.process->stop();
                EXPECT_EQ(server.process->status(), 0) << "a server did not stop cleanly";
            }
        servers.clear();
        redis.reset();
        std::filesystem::remove_all(dir);
    }
    void startRedis(std::vector<std::string> args = {}) {
        args.insert(args.begin(), {"redis-server", "--port", "6379", "--bind", lo, "--dir", dir,
                                   "--appendonly", "yes", "--appendfsync", "always", "--save", ""});
        redis = std::make_unique<Process>(args);
        ASSERT_TRUE(
            waitUntil([&] { return redis->out().find("Ready to accept") != std::string::npos; }, soon));
    }
    Server& startServer(std::vector<std::string> args = {}) {
        const auto port = static_cast<std::uint16_t>(34600 + servers.size());
        const std::string admin = dir + "/admin" + std::to_string(port);
        args.insert(args.begin(), {buildDir + "/brannoc-server", "--bind", lo, "--port", std::to_string(port),
                                   "--http-port", std::to_string(port + 80), "--redis", lo + ":6379",
                                   "--admin-socket", admin});
        servers.push_back({std::make_unique<Process>(args), port, admin});
        waitForLog(servers.back(), "listening on");
        return servers.back();
    }
    void waitForLog(const Server& server, const std::string& part) {
        EXPECT_TRUE(waitUntil([&] { return lines(server.log(), part) > 0; }, soon)) << part;
    }
    // An admin command's exit code; what it printed in text.
    int admin(const Server& server, std::vector<std::string> command, std::string* text = nullptr) {
        command.insert(command.begin(), {buildDir + "/brannoc-server", "--admin-socket", server.admin});
        Process run(command);
        EXPECT_TRUE(run.waitExit(soon));
        if (text)
            *text = run.out() + run.err();
        return run.status();
    }
    void kill9(Server& server) {
        kill(server.process->pid, SIGKILL);
        EXPECT_TRUE(server.process->waitExit(soon));
        server.process.reset();
    }

    std::string dir = "/tmp/brannoc-cluster-XXXXXX";
    std::unique_ptr<Process> redis;
    std::deque<Server> servers;
};

TEST_F(Cluster, IncrementsThroughEitherProcessMakeOneCappedTallyThatAdminCommandsChangeEverywhere) {
    // A Redis in cluster mode cannot route the scripts' keys: refused at start, in one line.
    redis.reset();
    ASSERT_NO_FATAL_FAILURE(startRedis({"--cluster-enabled", "yes"}));
    Process refused({buildDir + "/brannoc-server", "--port", "34699", "--http-port", "0", "--redis",
                     lo + ":6379", "--admin-socket", dir + "/refused"});
    ASSERT_TRUE(refused.waitExit(soon));
    EXPECT_NE(refused.status(), 0);
    EXPECT_EQ(lines(refused.err(), "runs in cluster mode, which brannoc-server does not support"), 1u)
        << refused.err();
    // With Redis fsyncing once a second an acknowledged increment could be lost: each process says so.
    redis.reset();
    ASSERT_NO_FATAL_FAILURE(startRedis({"--appendfsync", "everysec"}));
    Server &one = startServer(), &two = startServer();
    EXPECT_EQ(lines(one.log() + two.log(), "warning: Redis fsyncs its append-only file \"everysec\""), 2u);
    ASSERT_EQ(admin(one, {"set", "65529"}), 0);
    RawClient watchOne(lo, one.port), watchTwo(lo, two.port), alice(lo, one.port), bob(lo, two.port);
    RawClient* watchers[] = {&watchOne, &watchTwo};
    Told told[2];
    const auto bothTold = [&](const std::function<bool(Told&)>& done) {
        for (int k = 0; k < 2; ++k)
            EXPECT_TRUE(follow(*watchers[k], told[k], [&] { return done(told[k]); })) << "watcher " << k;
    };
    alice.send(proc::whoami("alice", "Alice"));
    bob.send(proc::whoami("bob", "Bob"));
    bothTold([](Told& t) { return t.states["alice"] == 1 && t.states["bob"] == 1; });

    // Eight at once from both processes: the first six fill the tally, the rest are refused.
    for (int i = 0; i < 4; ++i) {
        alice.send(proc::increment);
        bob.send(proc::increment);
    }
    const auto logged = [&](const std::string& what) { return lines(one.log() + two.log(), what); };
    EXPECT_TRUE(
        waitUntil([&] { return logged("increment, total") + logged("the total is at 65535") == 8; }, soon));
    EXPECT_EQ(logged("increment, total"), 6u);
    bothTold([](Told& t) { return t.total == 65535 && t.counts["alice"] + t.counts["bob"] == 6; });
    EXPECT_EQ(told[0].counts, told[1].counts);
    EXPECT_FALSE(told[0].down || told[1].down) << "a total went down";
    std::string text;
    ASSERT_EQ(admin(two, {"history"}, &text), 0);
    EXPECT_EQ(lines(text, "alice"), static_cast<std::size_t>(told[0].counts["alice"])) << text;
    EXPECT_EQ(lines(text, "bob"), static_cast<std::size_t>(told[0].counts["bob"])) << text;

    // An admin change at either process reaches the clients of both. Each admin command is a
    // process start, slow under the sanitizers: the clients ping as a real one would, or the
    // servers would drop them as silent.
    const auto keepAlive = [&] {
        alice.send(proc::ping);
        bob.send(proc::ping);
    };
    keepAlive();
    ASSERT_EQ(admin(two, {"undo"}), 0);
    bothTold([](Told& t) { return t.total == 65534; });
    keepAlive();
    ASSERT_EQ(admin(one, {"set", "40"}), 0);
    bothTold([](Told& t) { return t.total == 40; });
    keepAlive();
    ASSERT_EQ(admin(two, {"status"}, &text), 0);
    EXPECT_EQ(lines(text, "total: 40") + lines(text, "peer processes: 1"), 2u) << text;
    // Either process's overlay shows what the other counted.
    RawClient overlay(lo, two.port + 80);
    overlay.send("GET /overlay/events HTTP/1.1\r\n\r\n");
    alice.send(proc::increment);
    EXPECT_TRUE(overlay.readUntil(text, R"({"id":"alice","name":"Alice","count":)" +
                                            std::to_string(told[0].counts["alice"] + 1)))
        << text;
    // Backups belong to SQLite; Redis keeps its own.
    EXPECT_NE(admin(one, {"backup", dir + "/copy.db"}, &text), 0);
    EXPECT_EQ(lines(text, "Redis's own persistence"), 1u) << text;
}

TEST_F(Cluster, ForgottenAndRenamedUsersAreGoneOrRenamedAtEveryProcess) {
    Server &one = startServer(), &two = startServer();
    auto alice = std::make_unique<RawClient>(lo, one.port);
    RawClient bob(lo, one.port);
    alice->send(proc::whoami("alice", "Alice"));
    bob.send(proc::whoami("bob", "Bob"));
    waitForLog(one, "alice: whoami");
    bob.send(proc::increment);
    waitForLog(one, "bob: increment, total 1");
    alice->send(proc::increment);
    alice->send(proc::increment);
    waitForLog(one, "alice: increment, total 3");
    // The latest whoami's name is stored after the increments that carried the older one.
    bob.send(proc::whoami("bob", "Robert"));
    std::string text;
    EXPECT_TRUE(waitUntil(
        [&] { return admin(two, {"users"}, &text) == 0 && lines(text, "bob\tRobert\t1\t20"); }, soon))
        << text;

    // Refused while online at another process; accepted once she left.
    EXPECT_NE(admin(two, {"forget", "alice"}, &text), 0);
    EXPECT_EQ(lines(text, "refused: online now: alice"), 1u) << text;
    alice.reset();
    EXPECT_TRUE(waitUntil([&] { return admin(two, {"forget", "alice"}, &text) == 0; }, soon)) << text;
    EXPECT_EQ(lines(text, "forgot alice"), 1u) << text;
    // A newcomer at either process gets the whole tally without her, and the same total.
    const auto newcomerTold = [&](const Server& server) {
        RawClient newcomer(lo, server.port);
        Told told;
        follow(newcomer, told, [&] { return told.counts.count("bob") > 0; });
        return told;
    };
    for (const Server* server : {&one, &two}) {
        EXPECT_TRUE(waitUntil(
            [&] {
                const Told told = newcomerTold(*server);
                return told.total == 3 && told.counts.count("alice") == 0;
            },
            soon))
            << server->port;
        EXPECT_EQ(admin(*server, {"users"}, &text), 0);
        EXPECT_EQ(lines(text, "alice") + lines(text, "bob\t"), 1u) << text;
    }
    // Her increment is still the newest in the history: undoing it takes the total only.
    EXPECT_EQ(admin(one, {"undo"}, &text), 0);
    EXPECT_EQ(lines(text, "undid the increment of alice at ", "undid") +
                  lines(text, "(a forgotten user: the total only)"),
              2u)
        << text;
    EXPECT_TRUE(waitUntil([&] { return newcomerTold(two).total == 2; }, soon));
    EXPECT_EQ(newcomerTold(two).counts, (std::map<std::string, int>{{"bob", 1}}));
}

// The header a balancer puts before a client's bytes: TCP from 198.51.100.<last>:port to 127.0.0.1:34567.
std::string proxyHeader(std::uint8_t last, std::uint16_t port) {
    std::string header("\r\n\r\n\0\r\nQUIT\n\x21\x11\x00\x0c\xc6\x33\x64", 19);
    return header + static_cast<char>(last) + std::string("\x7f\0\0\x01", 4) + static_cast<char>(port >> 8) +
           static_cast<char>(port & 255) + "\x87\x07";
}

TEST_F(Cluster, OnlyTheBalancersHeaderNamesTheClientForTheLogAndTheCap) {
    // Bound to ::, the balancer's IPv4 connections arrive as ::ffff:127.0.0.2 and are still its.
    Server& server = startServer({"--bind", "::", "--proxy-from", "127.0.0.2", "--max-per-address", "1"});
    RawClient first("127.0.0.2", server.port), other("127.0.0.2", server.port),
        again("127.0.0.2", server.port);
    first.send(proxyHeader(7, 4242) + proc::whoami("erin", "Erin"));
    waitForLog(server, "198.51.100.7:4242 erin: whoami");
    other.send(proxyHeader(9, 5151));
    other.ping();
    again.send(proxyHeader(7, 4343));
    waitForLog(server, "198.51.100.7:4343: refused: 1 connections from 198.51.100.7");
    // The balancer's health check (a LOCAL header) gets no tally and leaves no line.
    RawClient check("127.0.0.2", server.port);
    check.send(std::string("\r\n\r\n\0\r\nQUIT\n\x20\x00\x00\x00", 16));
    char byte = 0;
    EXPECT_EQ(recv(check.fd, &byte, 1, 0), 0) << "closed without a word";
    EXPECT_EQ(lines(server.log(), check.peer), 0u);
    // From anyone else the same header is a malformed message.
    RawClient direct(lo, server.port);
    direct.send(proxyHeader(1, 1111));
    waitForLog(server, direct.peer + ": disconnected (refused: a PROXY header");
    EXPECT_EQ(lines(server.log(), "198.51.100.1"), 0u);
}

TEST_F(Cluster, ProcessesOutliveRedisAndEachOtherAndBringTheirClientsBackInStep) {
    Server &one = startServer(), &two = startServer();
    EXPECT_EQ(lines(one.log(), "warning"), 0u) << "Redis fsyncs every write";
    RawClient alice(lo, one.port), bob(lo, two.port);
    auto erin = std::make_unique<RawClient>(lo, two.port);
    alice.send(proc::whoami("alice", "Alice"));
    bob.send(proc::whoami("bob", "Bob"));
    erin->send(proc::whoami("erin", "Erin"));
    Told aliceTold, bobTold;
    ASSERT_TRUE(follow(alice, aliceTold, [&] { return aliceTold.states["erin"] == 1; }));
    for (int i = 0; i < 5; ++i)
        alice.send(proc::increment);
    // Seen at the other process: stored, fsynced and published.
    ASSERT_TRUE(follow(bob, bobTold, [&] { return bobTold.total == 5; }));

    kill(redis->pid, SIGKILL);
    ASSERT_TRUE(redis->waitExit(soon));
    waitForLog(one, "redis: unreachable");
    waitForLog(two, "redis: unreachable");
    alice.send(proc::increment);
    waitForLog(one, "alice: refused increment: not stored");
    alice.ping();
    bob.ping();
    erin.reset(); // leaves while the others cannot hear of it
    waitForLog(two, "erin: disconnected");

    // The append-only file brings back every acknowledged increment; every client gets the tally again.
    ASSERT_NO_FATAL_FAILURE(startRedis());
    aliceTold = bobTold = Told{};
    for (auto [client, told] : {std::pair{&alice, &aliceTold}, std::pair{&bob, &bobTold}})
        EXPECT_TRUE(follow(*client, *told, [&, told = told] {
            return told->total == 5 && told->counts["alice"] == 5 && told->states["bob"] == 1;
        })) << client->peer;
    EXPECT_TRUE(follow(alice, aliceTold, [&] { return aliceTold.states["erin"] == 0; }));
    // The next increment loads its script again; the one refused meanwhile was not kept for later.
    bob.send(proc::increment);
    EXPECT_TRUE(follow(alice, aliceTold, [&] {
        return aliceTold.total == 6 && aliceTold.counts["bob"] == 1 && aliceTold.counts["alice"] == 5;
    }));

    // A killed process's users go offline at the other within 6 s, but not alice, held by both.
    RawClient carol(lo, two.port), aliceAtTwo(lo, two.port);
    carol.send(proc::whoami("carol", "Carol"));
    aliceAtTwo.send(proc::whoami("alice", "Alice"));
    ASSERT_TRUE(follow(alice, aliceTold, [&] { return aliceTold.states["carol"] == 1; }));
    waitForLog(two, "alice: whoami");
    kill9(two);
    EXPECT_TRUE(follow(
        alice, aliceTold, [&] { return aliceTold.states["carol"] == 0; }, 6s));
    alice.send(proc::increment);
    EXPECT_TRUE(follow(alice, aliceTold, [&] { return aliceTold.total == 7; }));
    EXPECT_EQ(aliceTold.wentOffline.count("alice"), 0u);

    // A Redis that stops answering may still run the increment in flight: it is not called refused.
    kill(redis->pid, SIGSTOP);
    alice.send(proc::increment);
    waitForLog(one, "alice: increment unconfirmed");
    kill(redis->pid, SIGCONT);
    EXPECT_TRUE(follow(alice, aliceTold, [&] { return aliceTold.total == 8; }));
    EXPECT_EQ(lines(one.log(), "alice: refused increment"), 1u);
}

TEST_F(Cluster, AProcessWhoseSubscriptionGoesSilentGetsTheTallyAgain) {
    Relay relay;
    Server &one = startServer({"--redis", lo + ":6380"}), &two = startServer();
    RawClient alice(lo, one.port), bob(lo, two.port);
    bob.send(proc::whoami("bob", "Bob"));
    Told told;
    ASSERT_TRUE(follow(alice, told, [&] { return told.states["bob"] == 1; }));
    // The connection stays open but carries nothing: only the missing heartbeats can tell.
    relay.hold = true;
    bob.send(proc::increment);
    waitForLog(one, "redis: unreachable (the subscription carried nothing for 3000 ms)");
    relay.hold = false;
    EXPECT_TRUE(follow(alice, told, [&] { return told.total == 1 && told.counts["bob"] == 1; }));
    waitForLog(one, "redis: back at 127.0.0.1:6380");
}

// "Total Deaths: N" in a client's main window.
std::vector<sf::Color> totalShown(const Seat& seat) {
    const sf::Image shot = seat.shot(seat.main);
    std::vector<sf::Color> pixels;
    for (unsigned y = 89; y < 140; ++y)
        for (unsigned x = 100; x < 560; ++x)
            pixels.push_back(shot.getPixel(x, y));
    return pixels;
}

// A press in the middle of the button window, seen by a frame, then the release that counts.
void click(Seat& seat) {
    ASSERT_TRUE(seat.xdo("mousemove 512 650 mousedown 1") && seat.waitFrames());
    ASSERT_TRUE(seat.xdo("mouseup 1") && seat.waitFrames());
}

TEST_F(Cluster, RealClientsThroughTheBalancerShareEachReleaseAndOutliveTheirProcess) {
    Server& one = startServer({"--proxy-from", "127.0.0.5"});
    Server& two = startServer({"--proxy-from", "127.0.0.5"});
    std::ofstream(dir + "/haproxy.cfg")
        << Process::read(BRANNOC_SOURCE_DIR "/scripts/haproxy.cfg") << "    source 127.0.0.5\n";
    setenv("BRANNOC_LISTEN", "127.0.0.1:34567", 1);
    setenv("BRANNOC_SERVER_1", "127.0.0.1:34600", 1);
    setenv("BRANNOC_SERVER_2", "127.0.0.1:34601", 1);
    Process haproxy({"haproxy", "-f", dir + "/haproxy.cfg", "-db"});
    ASSERT_TRUE(waitUntil(
        [] { return Process::read("/proc/net/tcp").find(":8707 00000000:0000 0A") != std::string::npos; },
        soon));
    // Each process logs its clients by their own address, not the balancer's (127.0.0.5).
    const auto guests = [](const Server& s) { return lines(s.log(), " Guest: whoami", "127.0.0.1:"); };
    Seat a({});
    ASSERT_TRUE(a.ready && waitUntil([&] { return guests(one) + guests(two) == 1; }));
    Server &aOn = guests(one) == 1 ? one : two, &bOn = &aOn == &one ? two : one;
    Seat b({});
    ASSERT_TRUE(b.ready && waitUntil([&] { return guests(bOn) == 1; })) << "both clients on one process";

    const auto before = totalShown(b);
    ASSERT_NO_FATAL_FAILURE(click(a));
    waitForLog(aOn, "Guest: increment, total 1");
    EXPECT_TRUE(waitUntil([&] { return totalShown(b) != before && totalShown(a) == totalShown(b); }));

    // a's process dies: a comes back through the balancer to the other, where its next release makes 2.
    const auto after = totalShown(b);
    kill9(aOn);
    ASSERT_TRUE(waitUntil([&] { return guests(bOn) == 2; })) << "no reconnection";
    ASSERT_NO_FATAL_FAILURE(click(a));
    waitForLog(bOn, "Guest: increment, total 2");
    EXPECT_TRUE(waitUntil([&] { return totalShown(b) != after && totalShown(a) == totalShown(b); }));
    EXPECT_EQ(lines(bOn.log(), "127.0.0.5"), 0u);
}

} // namespace

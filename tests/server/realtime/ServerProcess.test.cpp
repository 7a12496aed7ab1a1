// The real brannoc-server in the test's own network namespace, driven by raw clients and its admin.

#include "tests/server/RawClient.hpp"

#include <sys/un.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>

using namespace std::chrono_literals;
using namespace proc;

namespace {

class ServerProcess : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(mkdtemp(dir.data()), nullptr); }
    void TearDown() override {
        EXPECT_TRUE(!server || stop(SIGTERM) == 0);
        std::filesystem::remove_all(dir);
    }
    std::vector<std::string> command(std::vector<std::string> args) {
        args.insert(args.begin(), {buildDir + "/brannoc-server", "--db", dir + "/new/tally.db"});
        return args;
    }
    void start(const std::vector<std::string>& args = {}) {
        server = std::make_unique<Process>(command(args));
        waitForLog("listening on");
    }
    int stop(int signal) {
        kill(server->pid, signal);
        EXPECT_TRUE(server->waitExit());
        const int status = server->status();
        server.reset(); // looks for sanitizer reports
        return status;
    }
    // The exit code of a run to its end, such as an admin command's; what it said is left in `said`.
    int run(const std::vector<std::string>& args) {
        Process once(command(args));
        EXPECT_TRUE(once.waitExit());
        said = once.out() + once.err();
        return once.status();
    }
    std::string log() const { return server ? server->out() + server->err() : ""; }
    void waitForLog(const std::string& line) {
        EXPECT_TRUE(waitUntil([&] { return log().find(line) != std::string::npos; }, readLimit))
            << line << log();
    }

    std::string dir = "/tmp/brannoc-server-test-XXXXXX", said;
    std::unique_ptr<Process> server;
};

TEST_F(ServerProcess, ClientsShareTheTallyAndPresenceThatAdminChangesAndRestartsKeep) {
    start();
    std::vector<std::unique_ptr<RawClient>> all;
    for (int i = 0; i < 4; ++i) {
        all.push_back(std::make_unique<RawClient>());
        all.back()->expect(list("userstates", {}));
    }
    RawClient &alice = *all[1], &alice2 = *all[2], &bee = *all[3]; // *all[0] stays a guest
    const auto each = [&](const std::string& wanted) {
        for (auto& client : all)
            client->expect(wanted);
    };
    const std::string beeName("b\xff"); // names are bytes, not always UTF-8, and stored as such

    bee.send(whoami(beeName, "Bee"));
    each(list("userstates", {{beeName, "Bee", 1}}));
    alice.send(whoami("alice", "Alice"));
    each(list("userstates", {{"alice", "Alice", 1}}));
    alice2.send(whoami("alice", "Alice"));
    alice.send(increment);
    each(total(1));
    bee.expect(list("deathindex", {{"alice", "Alice", 1}}));

    // Alice stays online while one of her two connections is left; her new display name goes out.
    const std::string gone = alice2.peer;
    all.erase(all.begin() + 2);
    waitForLog(gone + " alice: disconnected (closed)");
    alice.send(whoami("alice", "Alicia"));
    each(list("userstates", {{"alice", "Alicia", 1}}));
    all.erase(all.begin() + 1);
    each(list("userstates", {{"alice", "Alicia", 0}}));

    EXPECT_EQ(run({"set", "500"}), 0);
    each(total(500));
    bee.send(increment + increment);
    each(total(502));
    EXPECT_EQ(run({"undo"}), 0);
    each(total(501));
    each(list("deathindex", {{beeName, "Bee", 1}}));
    EXPECT_EQ(run({"status"}), 0);
    EXPECT_EQ(said.find("connections: 2\nusers online: 1 (b\xff)\ntotal: 501\n"), 0u) << said;
    EXPECT_EQ(run({"backup", dir + "/copy.db"}), 0);
    EXPECT_EQ(run({"backup", dir + "/copy.db"}), 1) << "a backup overwrote a file";

    // What was acknowledged survives a kill -9; the admin socket file left behind is replaced.
    EXPECT_EQ(stop(SIGKILL), 128 + SIGKILL);
    start();
    RawClient after, more;
    after.expect(total(501));
    after.expect(list("deathindex", {{"alice", "Alicia", 1}, {beeName, "Bee", 1}}));
    // Increments read before SIGTERM are stored, those queued behind a commit under way too.
    for (RawClient* client : {&after, &more, &after, &more})
        client->send(increment);
    after.ping();
    more.ping();
    EXPECT_EQ(stop(SIGTERM), 0);
    start();
    RawClient last;
    last.expect(total(505));
    EXPECT_EQ(run({"set", "65535"}), 0);
    last.expect(total(65535));
    last.send(increment);
    waitForLog(last.peer + ": refused increment: the total is at 65535");

    // The backup holds the tally of its moment.
    EXPECT_EQ(stop(SIGTERM), 0);
    start({"--db", dir + "/copy.db"});
    RawClient restored;
    restored.expect(total(501));
}

// A database the server cannot own is refused at start, in one line, and left byte for byte as it was.
TEST_F(ServerProcess, RefusesDatabasesItCannotOwnAndLeavesThemUntouched) {
    const std::pair<std::string, std::string> files[] = {
        {"sqlite3 %s 'PRAGMA user_version = 99; CREATE TABLE t(x)'", "was written by a newer brannoc-server"},
        {"sqlite3 %s 'CREATE TABLE t(x)'", "is a database of another program"},
        {"printf 'SQLite format 3\\000%%4000s' x > %s", "is not a usable tally database"}};
    for (const auto& [make, why] : files) {
        const std::string path = dir + "/new/tally.db";
        std::filesystem::create_directories(dir + "/new");
        std::filesystem::remove(path);
        char command[256];
        std::snprintf(command, sizeof command, make.c_str(), path.c_str());
        ASSERT_EQ(std::system(command), 0) << command;
        const std::string before = Process::read(path);
        EXPECT_NE(run({}), 0) << why;
        EXPECT_NE(said.find(why), std::string::npos) << said;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_EQ(Process::read(path), before) << why;
    }
}

TEST_F(ServerProcess, BadPeersAreClosedAloneAndBusyOnesHeldBack) {
    start({"--max-per-address", "2"});
    // Half a frame, then silence: the server's sweep drops it, checked last.
    RawClient silent("127.0.0.2"), good("127.0.0.3"), other("127.0.0.4");
    silent.send(whoami("silent", "Silent").substr(0, 6));
    // A size over 64 KiB is refused before its bytes come; a message no client sends is refused; a
    // name that would reach a terminal as a control (a C1 CSI here) is refused; so is a stream of names.
    std::string names;
    for (int i = 0; i < 11; ++i)
        names += whoami("n", "N" + std::to_string(i));
    int from = 0;
    for (const auto& [bytes, reason] :
         {std::pair{std::string("\0\1\0\1", 4), "frame over 64 KiB"},
          {wire::Writer("evil\x1b[2J").frame(), "unknown message \"evil?[2J\""},
          {whoami("csi\xc2\x9b[2J", "C"), "whoami csi?[2J (C) holds control characters"},
          {whoami("d", "\x07"), "whoami d (?) holds control characters"},
          {names, "over 10 whoami in one second"}}) {
        RawClient peer("127.0.1." + std::to_string(++from));
        peer.send(bytes);
        waitForLog(": disconnected (refused: " + std::string(reason) + ")");
        EXPECT_NE(log().find(peer.peer), std::string::npos);
    }

    // Fifteen within a second from one connection: ten count, the rest are refused.
    for (int i = 0; i < 15; ++i)
        good.send(increment);
    good.ping();
    other.send(increment);
    other.expect(total(11));
    good.expect(total(11));
    waitForLog(good.peer + ": refused increment: over 10 in one second");
    waitForLog(good.peer + ": dropped 4 increments in the last second (over the rate)");
    // Two connections per address: a third is refused.
    RawClient second("127.0.0.2"), third("127.0.0.2");
    waitForLog(third.peer + ": refused: 2 connections from 127.0.0.2 already");

    // Only the silent one goes; the others, pinging, are served throughout.
    const auto served = [&] {
        for (RawClient* client : {&good, &other, &second})
            client->ping();
        return log().find(silent.peer + ": disconnected (dropped: silent for 6 s)") != std::string::npos;
    };
    EXPECT_TRUE(waitUntil(served, 10s)) << log();
}

// A crowd naming itself at once, as after a restart: every client ends with everyone online, in
// broadcasts at most one per 100 ms, and a reader that stalled meanwhile gets the very same bytes.
TEST_F(ServerProcess, ACrowdNamingItselfAtOnceEndsWithEveryoneOnlineAndAStalledReaderCatchesUp) {
    start();
    RawClient witness, stalled("127.0.0.1", 34567, 1);
    for (RawClient* client : {&witness, &stalled})
        client->expect(list("userstates", {}));
    constexpr std::size_t crowd = 300;
    // Reads until the client knows the whole crowd online; the frames go to bytes. The broadcasts.
    const auto follow = [&](RawClient& client, std::string& bytes) {
        std::set<std::string> online;
        int broadcasts = 0;
        for (std::string data; online.size() < crowd && !(data = client.next()).empty(); bytes += data) {
            wire::Reader reader(data);
            std::string name, user, display;
            std::uint16_t n = 0, state = 0;
            if (!reader.str(name) || name != "userstates" || !reader.u16(n))
                continue;
            ++broadcasts;
            while (n-- > 0 && reader.str(user) && reader.str(display) && reader.u16(state))
                state ? (void)online.insert(user) : (void)online.erase(user);
        }
        EXPECT_EQ(online.size(), crowd) << client.peer;
        return broadcasts;
    };
    std::vector<std::unique_ptr<RawClient>> all;
    const auto begin = Clock::now();
    for (std::size_t i = 0; i < crowd; ++i) {
        all.push_back(std::make_unique<RawClient>("127.0.2." + std::to_string(1 + i / 50)));
        all.back()->send(whoami("u" + std::to_string(i), std::string(60, static_cast<char>('a' + i % 26))));
    }
    std::string seen, late, ignored;
    const int most = follow(witness, seen) - 1;
    // Every broadcast went out before the witness knew everyone; each is counted, the greeting too.
    const auto ticks = (Clock::now() - begin) / 100ms + 1;
    EXPECT_LE(most, ticks);
    for (const auto& client : all)
        EXPECT_LE(follow(*client, ignored), ticks) << client->peer;
    follow(stalled, late);
    EXPECT_EQ(late, seen);
}

// A flood of renames, a silent admin: others' increments and the shutdown go on regardless.
TEST_F(ServerProcess, FloodsAndSilentAdminsHoldNobodyUp) {
    start();
    RawClient flood("127.0.0.5"), other("127.0.0.6");
    flood.send(whoami("flood", "F") + increment);
    other.expect(total(1));
    std::string renames;
    for (int i = 0; i < 300000; ++i)
        renames += whoami("flood", "F" + std::to_string(i));
    flood.send(renames); // 8 MB; the server closes the connection after the eleventh name
    const auto sent = Clock::now();
    other.send(whoami("other", "Other") + increment);
    other.expect(total(2));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent);
    EXPECT_LT(took, 5s);
    std::printf("another user's increment under a rename flood: %lld ms\n",
                static_cast<long long>(took.count()));
    waitForLog(flood.peer + " flood: disconnected (refused: over 10 whoami in one second)");

    // A silent admin connection is closed after 5 s; another does not hold up a SIGTERM.
    const auto connectAdmin = [&] {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un at{AF_UNIX, {}};
        const std::string path = dir + "/new/admin.sock";
        path.copy(at.sun_path, sizeof at.sun_path - 1);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at), 0) << path;
        return fd;
    };
    const int idle = connectAdmin();
    const std::string closed = "admin: closed a connection that sent no whole command within 5 s";
    EXPECT_TRUE(waitUntil([&] { return log().find(closed) != std::string::npos; }, 10s)) << log();
    const int silent = connectAdmin();
    // One server owns the admin socket: a second refuses to start rather than take it over.
    EXPECT_NE(run({"--port", "34568", "--http-port", "0"}), 0);
    EXPECT_NE(said.find("another brannoc-server answers on " + dir + "/new/admin.sock"), std::string::npos)
        << said;
    const auto stopping = Clock::now();
    EXPECT_EQ(stop(SIGTERM), 0);
    const auto exited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopping);
    EXPECT_LT(exited, 5s);
    std::printf("SIGTERM to exit with an idle admin connection: %lld ms\n",
                static_cast<long long>(exited.count()));
    close(idle);
    close(silent);
}

// Names stored before control characters were refused stay in the tally, shown safely; users can
// be listed and forgotten.
TEST_F(ServerProcess, AdminShowsStoredNamesSafelyAndForgetsUsersForNewcomers) {
    start();
    {
        RawClient gone("127.0.0.7");
        gone.send(whoami("gone", "Gone") + increment);
        gone.expect(total(1));
        EXPECT_EQ(run({"forget", "gone"}), 1) << "refused while online";
        EXPECT_NE(said.find("refused: online now: gone"), std::string::npos) << said;
    }
    EXPECT_EQ(stop(SIGTERM), 0);
    const std::string csi = "X'62C29B5B324A'"; // "b", a C1 CSI, "[2J"
    const std::string seed = "sqlite3 " + dir + "/new/tally.db \"INSERT INTO users VALUES (CAST(" + csi +
                             " AS TEXT), 'Bee', 1); INSERT INTO history (user, time_ms) VALUES (CAST(" + csi +
                             " AS TEXT), 1000); UPDATE tally SET total = 2\"";
    ASSERT_EQ(std::system(seed.c_str()), 0) << seed;
    start();
    EXPECT_EQ(run({"users"}), 0);
    EXPECT_EQ(said.substr(0, said.find("\ngone\tGone\t1\t")), "b?[2J\tBee\t1\t1970-01-01 00:00:01 UTC")
        << said;
    EXPECT_EQ(run({"undo"}), 0);
    EXPECT_EQ(said, "undid the increment of b?[2J at 1970-01-01 00:00:01.000 UTC\n");
    EXPECT_EQ(log().find("\xc2\x9b"), std::string::npos) << "a C1 control reached the log";

    // Forgotten: the total stays, the history too (an undo of its row lowers the total only), and
    // a newcomer's whole tally no longer names the user.
    EXPECT_EQ(run({"forget", "gone", "nobody"}), 0);
    EXPECT_EQ(said, "forgot gone; not known: nobody\n");
    RawClient newcomer;
    newcomer.expect(total(1));
    newcomer.expect(list("deathindex", {{"b\xc2\x9b[2J", "Bee", 0}}));
    EXPECT_EQ(run({"undo"}), 0);
    EXPECT_NE(said.find("(a forgotten user: the total only)"), std::string::npos) << said;
    newcomer.expect(total(0));
    EXPECT_EQ(run({"users"}), 0);
    EXPECT_EQ(said.find("gone"), std::string::npos) << said;
}

// What an operator's tools see: systemd's notifications, and metrics that promtool and a real
// Prometheus accept.
TEST_F(ServerProcess, SystemdAndPrometheusSeeTheServerAsItIs) {
    // Playing systemd: a datagram socket of our own, and a watchdog of 400 ms (fed every 200 ms).
    const int notified = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un at{AF_UNIX, {}};
    const std::string path = dir + "/notify";
    path.copy(at.sun_path, sizeof at.sun_path - 1);
    ASSERT_EQ(bind(notified, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    const timeval wait{readLimit.count(), 0};
    setsockopt(notified, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    const auto next = [&] {
        char text[512];
        const ssize_t n = recv(notified, text, sizeof text, 0);
        return n > 0 ? std::string(text, static_cast<std::size_t>(n)) : std::string();
    };
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    setenv("WATCHDOG_USEC", "400000", 1);
    start();
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    EXPECT_EQ(next().rfind("READY=1\n", 0), 0u);
    RawClient client; // the port accepts once READY=1 is sent
    std::vector<Clock::time_point> beats;
    while (beats.size() < 4 && next() == "WATCHDOG=1")
        beats.push_back(Clock::now());
    ASSERT_EQ(beats.size(), 4u);
    const auto every = (beats.back() - beats.front()) / 3;
    EXPECT_TRUE(every > 100ms && every < 300ms)
        << std::chrono::duration_cast<std::chrono::milliseconds>(every).count();

    for (int i = 0; i < 3; ++i)
        client.send(increment);
    client.expect(total(3));
    // A whole HTTP/1.0 answer; empty while nothing listens on the port.
    const auto get = [](std::uint16_t port, const std::string& target) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        std::string text;
        if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
            const std::string request = "GET " + target + " HTTP/1.0\r\n\r\n";
            ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
            char buffer[8192];
            for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
                text.append(buffer, static_cast<std::size_t>(n));
        }
        close(fd);
        return text;
    };
    const std::string scrape = get(34580, "/metrics");
    EXPECT_NE(scrape.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"), std::string::npos);
    EXPECT_NE(scrape.find("\nbrannoc_increments_total 3\n"), std::string::npos) << scrape;
    std::FILE* text = std::fopen((dir + "/scrape").c_str(), "w");
    std::fputs(scrape.substr(scrape.find("\r\n\r\n") + 4).c_str(), text);
    std::fclose(text);
    EXPECT_EQ(std::system(("promtool check metrics < " + dir + "/scrape").c_str()), 0);

    // A real Prometheus scraping every second holds the same count.
    std::FILE* config = std::fopen((dir + "/prometheus.yml").c_str(), "w");
    std::fputs("scrape_configs:\n  - job_name: brannoc\n    scrape_interval: 1s\n"
               "    static_configs:\n      - targets: ['127.0.0.1:34580']\n",
               config);
    std::fclose(config);
    Process prometheus({"prometheus", "--config.file=" + dir + "/prometheus.yml",
                        "--storage.tsdb.path=" + dir + "/tsdb", "--web.listen-address=127.0.0.1:39090"});
    std::string answer;
    EXPECT_TRUE(waitUntil([&] {
        answer = get(39090, "/api/v1/query?query=brannoc_increments_total");
        return answer.find("\"3\"]") != std::string::npos;
    })) << answer
        << get(39090, "/api/v1/targets");

    // What queued meanwhile is read first, so that STOPPING=1 finds room.
    char stale[512];
    while (recv(notified, stale, sizeof stale, MSG_DONTWAIT) > 0) {
    }
    EXPECT_EQ(stop(SIGTERM), 0);
    std::string last;
    while ((last = next()) == "WATCHDOG=1") {
    }
    EXPECT_EQ(last, "STOPPING=1");
    close(notified);
}

} // namespace

TEST_F(ServerProcess, OverlayStreamsReachEveryViewerPastStalledOnesAndBadRequestsAreRefused) {
    start({"--max-connections", "53"});
    const std::string events = "GET /overlay/events HTTP/1.1\r\nHost: a\r\n\r\n";
    RawClient ann;
    ann.send(whoami("ann", "Ann"));
    std::vector<std::unique_ptr<RawClient>> viewers;
    std::vector<std::string> seen(50);
    for (auto& text : seen) {
        viewers.push_back(std::make_unique<RawClient>("127.0.0.1", 34580));
        viewers.back()->send(events);
        ASSERT_TRUE(viewers.back()->readUntil(text, "\"full\":true")) << text;
    }
    // Readers that stop: one mid-page (bigger than the socket buffers), one on the stream.
    RawClient stalledPage("127.0.0.1", 34580, 1), stalledStream("127.0.0.1", 34580, 1);
    stalledPage.send("GET /overlay?users=1 HTTP/1.1\r\n\r\n");
    stalledStream.send(events);
    RawClient overCap("127.0.0.1", 34580);
    overCap.send(events);
    std::string refused;
    EXPECT_FALSE(overCap.readUntil(refused, "HTTP")) << "viewers count against the cap";
    char byte = 0;
    EXPECT_EQ(recv(overCap.fd, &byte, 1, 0), 0) << "closed, not stalled";

    for (int i = 0; i < 3; ++i)
        ann.send(increment);
    const auto everyone = [&](const std::string& want) {
        for (std::size_t i = 0; i < viewers.size(); ++i)
            EXPECT_TRUE(viewers[i]->readUntil(seen[i], want))
                << i << ": " << seen[i].substr(seen[i].size() - 300);
    };
    everyone("\"total\":3,");
    everyone(R"({"id":"ann","name":"Ann","count":3,"online":true})");
    EXPECT_TRUE(waitUntil(
        [&] { return log().find("overlay: dropped: not reading for 10 s") != std::string::npos; }, 20s))
        << log();

    const std::vector<std::pair<std::string, std::string>> refusals = {
        {"GET /overlay/more HTTP/1.1\r\n\r\n", "HTTP/1.1 404 "},
        {"POST /overlay HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", "HTTP/1.1 405 "},
        {"HEAD /overlay/events HTTP/1.1\r\n\r\n", "HTTP/1.1 405 "},
        {"GET /overlay HTTP/1.1\r\nX: " + std::string(9000, 'x') + "\r\n\r\n", "HTTP/1.1 431 "},
        {"\x16\x03\x01\x02\x00 not HTTP\r\n\r\n", "HTTP/1.1 400 "},
    };
    for (const auto& [request, status] : refusals) {
        RawClient client("127.0.0.1", 34580);
        client.send(request);
        std::string text;
        EXPECT_FALSE(client.readUntil(text, "\r\n\r\n\r\n"));
        EXPECT_EQ(recv(client.fd, &byte, 1, 0), 0) << "closed, not stalled, after the answer";
        EXPECT_EQ(text.substr(0, status.size()), status) << request.substr(0, 20);
    }
    RawClient bee;
    bee.send(increment);
    everyone("\"total\":4,");
}

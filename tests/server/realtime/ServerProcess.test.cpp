// The real brannoc-server on 127.0.0.1:34567 of the test's own network namespace, driven by raw
// clients that speak through the server's own codec, and by its admin commands.

#include "server/realtime/Wire.hpp"
#include "tests/server/Process.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <tuple>

using namespace std::chrono_literals;

namespace {

const std::string ping = wire::Writer("ping").frame(), pong = wire::Writer("pong").frame();
const std::string increment = wire::Writer("increment").frame();
const auto whoami = [](const std::string& user, const std::string& display) {
    return wire::Writer("whoami").str(user).str(display).frame();
};
const auto total = [](std::uint16_t n) { return wire::Writer("deathcount").u16(n).frame(); };
const auto nameOf = [](std::string_view data) {
    std::string name;
    wire::Reader(data).str(name);
    return name;
};
// A deathindex or userstates of these users, display names and counts or states.
std::string list(const char* name, const std::vector<std::tuple<std::string, std::string, int>>& users) {
    wire::Writer writer(name);
    writer.u16(static_cast<std::uint16_t>(users.size()));
    for (const auto& [user, display, value] : users)
        writer.str(user).str(display).u16(static_cast<std::uint16_t>(value));
    return writer.frame();
}

// A protocol client from a local address of its choice; each read waits at most `limit`.
struct Client {
    explicit Client(const std::string& from = "127.0.0.1", std::chrono::milliseconds limit = proc::patience) {
        sockaddr_in local{AF_INET, 0, {}, {}}, server{AF_INET, htons(34567), {htonl(INADDR_LOOPBACK)}, {}};
        inet_pton(AF_INET, from.c_str(), &local.sin_addr);
        const timeval wait{limit.count() / 1000, limit.count() % 1000 * 1000};
        socklen_t size = sizeof local;
        auto* at = reinterpret_cast<sockaddr*>(&local);
        EXPECT_TRUE(!setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) && !bind(fd, at, size) &&
                    !connect(fd, reinterpret_cast<sockaddr*>(&server), size) && !getsockname(fd, at, &size))
            << from;
        peer = from + ":" + std::to_string(ntohs(local.sin_port));
    }
    ~Client() { close(fd); }
    void send(const std::string& bytes) { ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // The data of the next message; empty once the stream ends or nothing comes in time.
    std::string next() {
        std::string data;
        char buffer[8192];
        for (ssize_t n = 1; n > 0 && frames.next(data) == wire::FrameReader::Status::NeedMore;)
            if ((n = recv(fd, buffer, sizeof buffer, 0)) > 0)
                frames.append(buffer, static_cast<std::size_t>(n));
        return data;
    }
    // Reads to the next message named as the wanted one, which must be it; deathcounts are read up
    // to the wanted total. Returns how many deathcounts were read.
    int expect(const std::string& wanted) {
        const std::string want = wanted.substr(4), name = nameOf(want);
        int totals = 0;
        for (std::string data;;) {
            data = next();
            totals += nameOf(data) == "deathcount";
            if (data.empty() || data == want || (nameOf(data) == name && name != "deathcount")) {
                EXPECT_EQ(data, want) << peer << ": " << name;
                return totals;
            }
        }
    }
    void ping() {
        send(::ping);
        expect(pong);
    }
    // Whether the server ends the stream before a read waits in vain.
    bool closed() {
        char buffer[8192];
        ssize_t n = 0;
        while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
        }
        return n == 0 || errno == ECONNRESET;
    }

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::string peer; // as the server's log names it
    wire::FrameReader frames;
};

class ServerProcess : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(mkdtemp(dir.data()), nullptr); }
    void TearDown() override {
        EXPECT_TRUE(pid < 0 || stop(SIGTERM) == 0) << log();
        EXPECT_EQ(log().find("Sanitizer"), std::string::npos) << log();
        std::filesystem::remove_all(dir);
    }
    std::vector<std::string> server(std::vector<std::string> args) {
        args.insert(args.begin(), {BRANNOC_BUILD_DIR "/brannoc-server", "--db", dir + "/tally.db"});
        return args;
    }
    // Starts the server, its output in a log of its own, and waits until it listens.
    void start(const std::vector<std::string>& args = {}) {
        pid = proc::spawn(server(args), dir + "/log" + std::to_string(++starts));
        ASSERT_TRUE(proc::eventually([&] { return log().find("listening on") != std::string::npos; }))
            << log();
    }
    int stop(int signal) {
        kill(pid, signal);
        return proc::reap(std::exchange(pid, -1));
    }
    // An admin command's exit code; what it printed is left in the file "admin".
    int admin(const std::vector<std::string>& command) {
        std::filesystem::remove(dir + "/admin");
        return proc::reap(proc::spawn(server(command), dir + "/admin"));
    }
    std::string log() const { return proc::slurp(dir + "/log" + std::to_string(starts)); }
    void waitForLog(const std::string& line) {
        EXPECT_TRUE(proc::eventually([&] { return log().find(line) != std::string::npos; })) << line << log();
    }

    std::string dir = "/tmp/brannoc-server-test-XXXXXX";
    pid_t pid = -1;
    int starts = 0;
};

TEST_F(ServerProcess, ClientsShareTheTallyAndPresenceThatAdminChangesAndRestartsKeep) {
    ASSERT_NO_FATAL_FAILURE(start());
    std::vector<std::unique_ptr<Client>> all;
    for (int i = 0; i < 6; ++i) {
        all.push_back(std::make_unique<Client>());
        all.back()->expect(list("userstates", {}));
    }
    Client &guest = *all[0], &alice = *all[1], &alice2 = *all[2], &bob = *all[3], &carol = *all[4];
    Client& observer = *all[5];
    const auto each = [&](const std::string& wanted) {
        for (auto& client : all)
            client->expect(wanted);
    };
    const auto drop = [&](Client& gone) {
        all.erase(std::find_if(all.begin(), all.end(), [&](auto& client) { return client.get() == &gone; }));
    };

    alice.send(whoami("alice", "Alice"));
    observer.expect(list("userstates", {{"alice", "Alice", 1}}));
    alice2.send(whoami("alice", "Alice"));
    bob.send(whoami("bob", "Bob"));
    waitForLog(alice2.peer + " alice: whoami (Alice)");
    waitForLog(bob.peer + " bob: whoami (Bob)");
    alice.send(increment);
    each(total(1));
    observer.expect(list("deathindex", {{"alice", "Alice", 1}}));
    guest.send(increment);
    each(total(2));
    observer.expect(list("deathindex", {{"Guest", "Guest", 1}}));
    waitForLog(guest.peer + ": increment, total 2");
    Client late;
    late.expect(total(2));
    late.expect(list("deathindex", {{"Guest", "Guest", 1}, {"alice", "Alice", 1}}));
    late.expect(list("userstates", {{"alice", "Alice", 1}, {"bob", "Bob", 1}}));

    // Alice stays online while one of her two connections is left: the next change goes out alone.
    const std::string gone = alice2.peer;
    drop(alice2);
    waitForLog(gone + " alice: disconnected (closed)");
    carol.send(whoami("carol", "Carol"));
    each(list("userstates", {{"carol", "Carol", 1}}));
    drop(alice);
    each(list("userstates", {{"alice", "Alice", 0}}));

    EXPECT_EQ(admin({"set", "500"}), 0);
    each(total(500));
    bob.send(increment + increment);
    each(total(502));
    EXPECT_EQ(admin({"undo"}), 0);
    each(total(501));
    each(list("deathindex", {{"bob", "Bob", 1}}));
    EXPECT_EQ(admin({"status"}), 0);
    EXPECT_NE(proc::slurp(dir + "/admin").find("connections: 5\nusers online: 2 (bob, carol)\ntotal: 501\n"),
              std::string::npos)
        << proc::slurp(dir + "/admin");
    EXPECT_EQ(admin({"set", "70000"}), 2);
    EXPECT_EQ(admin({"backup", dir + "/copy.db"}), 0);
    EXPECT_EQ(admin({"backup", dir + "/copy.db"}), 1) << "a backup overwrote a file";

    // What was acknowledged survives a kill -9; the admin socket file left behind is replaced.
    EXPECT_EQ(stop(SIGKILL), 128 + SIGKILL);
    ASSERT_NO_FATAL_FAILURE(start());
    Client after, more;
    after.expect(total(501));
    after.expect(list("deathindex", {{"Guest", "Guest", 1}, {"alice", "Alice", 1}, {"bob", "Bob", 1}}));
    // Increments read before SIGTERM are stored before the server ends, those waiting behind a
    // commit under way too.
    for (Client* client : {&after, &more, &after, &more})
        client->send(increment);
    after.ping();
    more.ping();
    EXPECT_EQ(stop(SIGTERM), 0);
    ASSERT_NO_FATAL_FAILURE(start());
    Client last;
    last.expect(total(505));

    EXPECT_EQ(admin({"set", "65535"}), 0);
    last.expect(total(65535));
    last.send(increment);
    waitForLog(last.peer + ": refused increment: the total is at 65535");
    Client capped;
    capped.expect(total(65535));
}

TEST_F(ServerProcess, BadPeersAreClosedAloneAndBusyOnesHeldBack) {
    ASSERT_NO_FATAL_FAILURE(start({"--max-per-address", "2"}));
    // Half a frame, then silence: the server's sweep drops it, checked last.
    Client silent("127.0.0.2", 200ms), good("127.0.0.3"), other("127.0.0.4");
    silent.send(whoami("silent", "Silent").substr(0, 6));
    // What a peer sends, and why it is closed (none: it is answered). Sizes are read first: 64 KiB
    // is allowed and read, a byte more is refused unread.
    const std::pair<std::string, std::string> peers[] = {
        {std::string("\0\1\0\1", 4), "refused: frame over 64 KiB"},
        {std::string("\0\1\0\0", 4) + std::string(65536, 'x'), "refused: malformed message"},
        {std::string(4, '\0'), "refused: malformed message"},
        {wire::Writer("Ping").frame(), "refused: unknown message \"Ping\""},
        {wire::Writer("evil\x1b[2J").frame(), "refused: unknown message \"evil?[2J\""},
        {wire::Writer("ping").str("extra").frame(), "refused: malformed ping (extra bytes)"},
        {wire::Writer("whoami").str("u").frame(), "refused: malformed whoami"},
        {whoami(std::string(65, 'n'), "d"), "refused: whoami name over 64 bytes"},
        {whoami("u", std::string(65, 'n')), "refused: whoami name over 64 bytes"},
        {whoami(std::string(64, 'n'), std::string(64, 'n')) + ping, ""}};
    for (const auto& [bytes, reason] : peers) {
        Client peer("127.0.1." + std::to_string(&bytes - &peers[0].first + 1));
        peer.send(bytes);
        if (reason.empty())
            peer.expect(pong);
        else
            EXPECT_TRUE(peer.closed()) << reason;
        waitForLog(peer.peer + (reason.empty() ? " " + std::string(64, 'n') + ": whoami"
                                               : ": disconnected (" + reason + ")"));
    }

    // Fifteen at once from one connection: ten count, the rest are refused.
    std::string burst;
    for (int i = 0; i < 15; ++i)
        burst += increment;
    good.send(burst + ping);
    good.expect(pong);
    other.send(increment);
    other.expect(total(11));
    good.expect(total(11));
    waitForLog(good.peer + ": refused increment: over 10 in one second");
    // Increments one by one reach a client merged: at most one broadcast per 100 ms.
    const auto begin = proc::Clock::now();
    for (int i = 0; i < 9; ++i) {
        other.send(increment + ping);
        other.expect(pong);
    }
    EXPECT_LE(good.expect(total(20)), (proc::Clock::now() - begin) / 100ms + 1);

    // Two connections per address: a third is refused until one of them leaves.
    auto second = std::make_unique<Client>("127.0.0.2");
    Client third("127.0.0.2");
    EXPECT_TRUE(third.closed());
    waitForLog(third.peer + ": refused: 2 connections from 127.0.0.2 already");
    second->ping();
    const std::string gone = second->peer;
    second.reset();
    waitForLog(gone + ": disconnected (closed)");
    Client again("127.0.0.2");
    again.ping();

    // Only the silent one goes; the others, pinging, are served throughout.
    for (int i = 0; i < 50 && !silent.closed(); ++i)
        for (Client* client : {&good, &other, &again})
            client->ping();
    waitForLog(silent.peer + ": disconnected (dropped: silent for 6 s)");
}

} // namespace

// The real client held connected for a minute by a server that answers every "ping" at once, and
// sends a packet just before each next "ping" falls due (the client pauses after each packet it
// receives; the pause must not hold the "ping" back).
//
// A "pong" restarts the client's round-trip clock one round trip after its "ping", so the time-out
// fires on a healthy connection whenever the next "ping" leaves later after its due moment than
// that round trip: well under a millisecond here. The check is therefore sensitive to load by
// nature, and CMake runs it alone (RUN_SERIAL).

#include "tests/support/ClientFixture.hpp"
#include "tests/support/FakeRealtimeServer.hpp"

#include <algorithm>

using namespace std::chrono_literals;

namespace {

// A length-prefixed string; a length-prefixed packet on the stream is framed the same way.
std::string prefixed(const std::string& bytes) {
    std::string size;
    for (int shift = 24; shift >= 0; shift -= 8)
        size += static_cast<char>((bytes.size() >> shift) & 0xFFu);
    return size + bytes;
}

class RealtimeLinkKeepalive : public ClientFixture {
protected:
    void SetUp() override {
        ClientFixture::SetUp();
        ASSERT_TRUE(server.start()) << "cannot bind 127.0.0.1:34567";
    }
    void TearDown() override {
        ClientFixture::TearDown();
        server.stop();
    }

    FakeRealtimeServer server;
};

} // namespace

TEST_F(RealtimeLinkKeepalive, HealthyConnectionNeverTimesOutInAMinute) {
    ClientProcess& client = launch();
    ASSERT_TRUE(waitForWindows());
    ASSERT_TRUE(server.waitForConnections(1, 30s));

    using Clock = std::chrono::steady_clock;
    const std::string ping = prefixed("ping");
    const std::string pongFrame = prefixed(prefixed("pong"));
    // The same total each time: stored once, then neither shown differently nor rung.
    const std::string totalFrame = prefixed(prefixed("deathcount") + std::string("\0\x01", 2));
    std::size_t seen = 0;
    std::size_t pings = 0;
    std::size_t lateTotals = 0;
    auto totalDue = Clock::time_point::max();
    const auto end = Clock::now() + 60s;
    while (Clock::now() < end) {
        if (Clock::now() >= totalDue) {
            ASSERT_TRUE(server.sendRaw(0, totalFrame)) << "the connection ended";
            totalDue = Clock::time_point::max();
            ++lateTotals;
        }
        // Wakes as soon as the server thread has framed a packet.
        const auto wait = std::min<Clock::duration>(100ms, totalDue - Clock::now());
        if (!server.waitForPackets(0, seen + 1, std::chrono::duration_cast<std::chrono::milliseconds>(wait)))
            continue;
        const auto packets = server.received(0);
        for (; seen < packets.size(); ++seen)
            if (packets[seen].bytes == ping) {
                ++pings;
                ASSERT_TRUE(server.sendRaw(0, pongFrame)) << "the connection ended";
                // The next ping falls due 2001 ms after this one left.
                totalDue = Clock::now() + 1990ms;
            }
    }

    const auto lines = client.stdoutLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Timed out, attempting to reconnect"), 0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Disconnected"), 0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "packet thread starting"), 1);
    EXPECT_EQ(server.connectionCount(), 1u);
    EXPECT_GE(pings, 29u) << "a ping every two seconds";
    EXPECT_GE(lateTotals, 25u) << "a packet before most pings";

    ASSERT_TRUE(x->requestClose(mainWindow));
    ASSERT_TRUE(client.waitForExit(30s));
    EXPECT_TRUE(client.exitStatus().cleanZero()) << client.exitStatus().describe();
}

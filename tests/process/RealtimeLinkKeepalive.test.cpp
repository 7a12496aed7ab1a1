// The real client held connected for a minute by a server that answers every "ping" at once.
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

    const std::string ping = prefixed("ping");
    const std::string pongFrame = prefixed(prefixed("pong"));
    std::size_t seen = 0;
    std::size_t pings = 0;
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < end) {
        // Wakes as soon as the server thread has framed a packet.
        if (!server.waitForPackets(0, seen + 1, 100ms))
            continue;
        const auto packets = server.received(0);
        for (; seen < packets.size(); ++seen)
            if (packets[seen].bytes == ping) {
                ++pings;
                ASSERT_TRUE(server.sendRaw(0, pongFrame)) << "the connection ended";
            }
    }

    const auto lines = client.stdoutLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Timed out, attempting to reconnect"), 0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Disconnected"), 0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "packet thread starting"), 1);
    EXPECT_EQ(server.connectionCount(), 1u);
    EXPECT_GE(pings, 29u) << "a ping every two seconds";

    ASSERT_TRUE(x->requestClose(mainWindow));
    ASSERT_TRUE(client.waitForExit(30s));
    EXPECT_TRUE(client.exitStatus().cleanZero()) << client.exitStatus().describe();
}

#include "link/PacketThread.hpp"

#include "link/Connection.hpp"
#include "link/RealtimeLink.hpp"
#include "tests/link/LinkHarness.hpp"

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;

// Polls every millisecond, finer than the server's own wait, so the moment a ping is seen is
// within about a millisecond of its arrival.
bool waitForPings(const ScriptedServer& server, const std::string& ping, int count, Clock::time_point& seen) {
    const auto limit = Clock::now() + 5s;
    while (server.countReceived(ping) < count) {
        if (Clock::now() > limit)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    seen = Clock::now();
    return true;
}

} // namespace

// A "pong" restarts the round-trip clock one round trip after its "ping", so a ping that leaves
// later after its due moment than that round trip lets the time-out end a healthy connection (the
// real client is held connected for a minute by the process-level keepalive test). The pause after
// a received packet must not hold a ping back: each round, a packet lands about 5 ms before the
// ping falls due. A pause that held the ping would send it 20 ms after the packet in every round;
// on time it leaves about 5 ms after it. Scheduling on a loaded machine may spoil one round, not
// most of them.
TEST(PacketThreadKeepalive, APacketJustBeforeThePingFallsDueDoesNotDelayIt) {
    StdoutCapture quiet;
    resetLink();
    ScriptedServer server;
    connectAsGuest(server);
    const std::string ping = payload(RealtimeProtocol::ping());

    int onTime = 0;
    std::vector<long long> gapsMs;
    for (int round = 0; round < 5; ++round) {
        const int pings = server.countReceived(ping);
        Clock::time_point pingSeen;
        ASSERT_TRUE(waitForPings(server, ping, pings + 1, pingSeen));
        std::this_thread::sleep_until(pingSeen + 1995ms);
        if (server.countReceived(ping) > pings + 1)
            continue; // this thread overslept: the packet would not land before the ping
        // The same total every time: no bell, whose first ring opens the audio device.
        sf::Packet total = serverPacket("deathcount");
        total << sf::Uint16(7);
        const auto sent = Clock::now();
        server.send(total);
        Clock::time_point nextPingSeen;
        ASSERT_TRUE(waitForPings(server, ping, pings + 2, nextPingSeen));
        const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(nextPingSeen - sent).count();
        gapsMs.push_back(gap);
        onTime += gap < 12;
    }
    EXPECT_GE(onTime, 3) << "pings held back by the pause after a packet; gaps in ms: "
                         << ::testing::PrintToString(gapsMs);
    EXPECT_TRUE(RealtimeLink::connected);
    EXPECT_EQ(server.accepted(), 1);
    resetLink();
}

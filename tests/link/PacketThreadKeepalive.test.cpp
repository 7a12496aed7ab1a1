#include "link/PacketThread.hpp"

#include "link/Connection.hpp"
#include "link/RealtimeLink.hpp"
#include "tests/link/LinkHarness.hpp"

#include <gtest/gtest.h>

// A "pong" restarts the round-trip clock one round trip after its "ping", so a next "ping" that
// leaves later after its due moment than that round trip lets the time-out fire on a healthy
// connection. An idle packet thread that waits instead of polling must still ping on time.
TEST(PacketThreadKeepalive, HealthyConnectionNeverTimesOutInAMinute) {
    StdoutCapture out;
    resetLink();
    ScriptedServer server;
    connectAsGuest(server);
    const auto end = std::chrono::steady_clock::now() + 60s;
    bool alwaysConnected = true;
    runFrames(
        [&] {
            alwaysConnected = alwaysConnected && RealtimeLink::connected;
            return std::chrono::steady_clock::now() > end;
        },
        70s);
    EXPECT_TRUE(alwaysConnected);
    EXPECT_EQ(out.count("Timed out, attempting to reconnect"), 0);
    EXPECT_GE(server.countReceived(payload(RealtimeProtocol::ping())), 29);
    EXPECT_EQ(server.accepted(), 1);
    resetLink();
}

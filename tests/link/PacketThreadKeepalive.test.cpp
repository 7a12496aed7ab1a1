#include "link/PacketThread.hpp"

#include "link/Connection.hpp"
#include "link/RealtimeLink.hpp"
#include "tests/link/LinkHarness.hpp"

#include <gtest/gtest.h>

// A "pong" restarts the round-trip clock one round trip after its "ping", so a next "ping" that
// leaves later after its due moment than that round trip lets the time-out fire on a healthy
// connection. (The real client is held connected for a minute by the process-level keepalive test.)

// The pause after a received packet must not hold a ping past its due moment: a packet that lands
// just before the ping falls due would otherwise open a window of most of the pause in which the
// time-out fires on a healthy connection. The packet lands 6 ms before the ping is due, so a pause
// that held the ping back would leave a window of about 14 ms, which the frame-paced time-out
// checks hit most of the time in each of the five rounds.
TEST(PacketThreadKeepalive, APacketJustBeforeThePingFallsDueDoesNotDelayIt) {
    StdoutCapture out;
    resetLink();
    ScriptedServer server;
    connectAsGuest(server);
    const std::string ping = payload(RealtimeProtocol::ping());
    bool alwaysConnected = true;
    auto nextFrame = std::chrono::steady_clock::now();
    for (int cycle = 0; cycle < 5 && alwaysConnected; ++cycle) {
        const int pingsBefore = server.countReceived(ping);
        auto pingSeen = std::chrono::steady_clock::time_point{};
        bool packetSent = false;
        const auto limit = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < limit) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= nextFrame) {
                RealtimeLink::handOverStep();
                RealtimeLink::reconnectStep();
                RealtimeLink::timeOutCheck();
                alwaysConnected = alwaysConnected && RealtimeLink::connected;
                nextFrame = now + 16ms;
            }
            const int pings = server.countReceived(ping);
            if (pings == pingsBefore + 1 && pingSeen == std::chrono::steady_clock::time_point{})
                pingSeen = now;
            if (!packetSent && pingSeen != std::chrono::steady_clock::time_point{} &&
                now - pingSeen >= 1995ms) {
                // The same total every time: no bell, whose first ring opens the audio device.
                sf::Packet total = serverPacket("deathcount");
                total << sf::Uint16(7);
                server.send(total);
                packetSent = true;
            }
            if (pings >= pingsBefore + 2)
                break;
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_TRUE(packetSent);
    }
    EXPECT_TRUE(alwaysConnected);
    EXPECT_EQ(out.count("Timed out, attempting to reconnect"), 0);
    EXPECT_EQ(server.accepted(), 1);
    resetLink();
}

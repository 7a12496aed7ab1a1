#include "link/PacketThread.hpp"

#include "link/Connection.hpp"
#include "link/RealtimeLink.hpp"
#include "link/StatusDisplay.hpp"
#include "link/UserStateTable.hpp"
#include "media/AssetStore.hpp"
#include "media/SoundBank.hpp"
#include "tests/link/LinkHarness.hpp"
#include "web/UserProfile.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

// No sound card here; the bell is observed through the sound bank's console lines instead.
const bool quietAudio = setenv("ALSOFT_DRIVERS", "null", 1) == 0;

std::int64_t fakeNow = 0;
std::int64_t fakeClock() {
    return fakeNow;
}
constexpr std::int64_t ms = 1000000;

sf::Packet total(sf::Uint16 n) {
    sf::Packet packet = serverPacket("deathcount");
    packet << n;
    return packet;
}

RealtimeProtocol::ServerMessage message(sf::Packet packet) {
    return RealtimeProtocol::read(packet);
}

// The client's end of the connection, found by its peer port, so a test can shrink its buffers.
int clientSocketHandle() {
    for (int fd = 3; fd < 1024; ++fd) {
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0 && ntohs(peer.sin_port) == 34567)
            return fd;
    }
    return -1;
}

class PacketThreadTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(quietAudio);
        resetLink();
        AssetStore::root = "./no-such-assets/";
        AssetStore::audioDir = "audio/";
        SoundBank::sounds.clear();
    }
    void TearDown() override {
        resetLink();
        currentUser = UserProfile{};
        Stopwatch::clock = &Stopwatch::steadyNow;
    }

    StdoutCapture out;
    const std::string bellFailed = "Failed to load sound: './no-such-assets/audio/sound/boxingbell2.wav'";
};

} // namespace

TEST_F(PacketThreadTest, TotalsRingTheBellOnlyWhenAKnownTotalGrows) {
    Stopwatch::clock = &fakeClock;
    RealtimeLink::lastDeathClock.restart();
    fakeNow += 5000 * ms;

    RealtimeLink::applyServerMessage(message(total(6)));
    EXPECT_EQ(RealtimeLink::deathTotal, 6);
    EXPECT_EQ(out.lines(), std::vector<std::string>{}) << "the first total rings nothing";
    EXPECT_EQ(RealtimeLink::lastDeathClock.elapsedSeconds(), 5.0);

    RealtimeLink::applyServerMessage(message(total(7)));
    EXPECT_EQ(RealtimeLink::deathTotal, 7);
    EXPECT_EQ(out.lines(), std::vector<std::string>{bellFailed}) << "one bell, from the audio directory";
    EXPECT_EQ(RealtimeLink::lastDeathClock.elapsedSeconds(), 0.0) << "restarted even without a sound";

    fakeNow += 3000 * ms;
    RealtimeLink::applyServerMessage(message(total(7)));
    RealtimeLink::applyServerMessage(message(total(2)));
    EXPECT_EQ(RealtimeLink::deathTotal, 2);
    EXPECT_EQ(out.lines().size(), 1u) << "equal and lower totals are stored without a bell";
    EXPECT_EQ(RealtimeLink::lastDeathClock.elapsedSeconds(), 3.0);

    RealtimeLink::applyServerMessage(message(total(65535)));
    EXPECT_EQ(RealtimeLink::deathTotal, 65535);
    EXPECT_EQ(out.count("No sound buffered!"), 1);

    sf::Packet cut = serverPacket("deathcount");
    cut << sf::Uint8(1);
    RealtimeLink::applyServerMessage(message(cut));
    EXPECT_EQ(RealtimeLink::deathTotal, 65535) << "a total without its number is not applied";
}

TEST_F(PacketThreadTest, PongTakesTheRoundTripAndListsApplyWholeOrNotAtAll) {
    Stopwatch::clock = &fakeClock;
    RealtimeLink::connected = true;
    RealtimeLink::roundTripClock.restart();
    fakeNow += 37 * ms + 400000;
    sf::Packet pong = serverPacket("pong");
    pong << std::string("extra");
    RealtimeLink::applyServerMessage(message(pong));
    EXPECT_EQ(RealtimeLink::pingMs, 37);
    EXPECT_EQ(RealtimeLink::roundTripClock.elapsedSeconds(), 0.0);

    sf::Packet states = serverPacket("userstates");
    states << sf::Uint16(2) << std::string("bob") << std::string("Bob") << sf::Uint16(1)
           << std::string("alice") << std::string("Alice") << sf::Uint16(0);
    RealtimeLink::applyServerMessage(message(states));
    sf::Packet shortList = serverPacket("deathindex");
    shortList << sf::Uint16(2) << std::string("bob") << std::string("Robert") << sf::Uint16(9);
    RealtimeLink::applyServerMessage(message(shortList));
    ASSERT_EQ(UserStateTable::entries.size(), 2u);
    EXPECT_EQ(UserStateTable::entries.begin()->first, "alice");
    EXPECT_EQ(UserStateTable::entries["bob"].displayName, "Bob") << "the cut list changed nothing";
    EXPECT_EQ(UserStateTable::entries["bob"].deathIndex, 0);
    EXPECT_EQ(UserStateTable::entries["bob"].state, 1u);
}

TEST_F(PacketThreadTest, IdleWaitsEndBeforeThePingFallsDue) {
    for (std::int64_t until = -5 * ms; until < 20 * ms; until += 50000) {
        const int wait = RealtimeLink::idleWaitMs(until);
        EXPECT_GE(wait, 0);
        EXPECT_LE(wait, 5) << "quit and a cleared flag must be seen within milliseconds";
        if (wait > 0) {
            EXPECT_LE(wait * ms, until - ms) << "a wait of " << wait << " ms with " << until << " ns to go";
        }
    }
    EXPECT_EQ(RealtimeLink::idleWaitMs(2000 * ms), 5);
}

TEST_F(PacketThreadTest, APingFallingDueDuringThePauseAfterAPacketLeavesOnTime) {
    using RealtimeLink::pauseStep;
    struct Row {
        std::int64_t left, untilDue;
        bool connected;
        std::int64_t sleep;
        bool ping, done;
    };
    const Row rows[] = {
        {0, 5 * ms, true, 0, false, true},              // the pause is over
        {20 * ms, 25 * ms, true, 20 * ms, false, true}, // no ping due within it
        {20 * ms, 1 * ms, false, 20 * ms, false, true}, // a lost link sends nothing more
        {20 * ms, 10 * ms, true, 8 * ms, false, false}, // wake a margin before the ping
        {12 * ms, 2 * ms, true, 0, true, false},        // inside the margin: ping
        {12 * ms, -3 * ms, true, 0, true, false},       // overdue: ping at once
    };
    for (const auto& row : rows) {
        const auto step = pauseStep(row.left, row.untilDue, row.connected);
        EXPECT_EQ(step.sleepNanos, row.sleep) << row.left << " " << row.untilDue;
        EXPECT_EQ(step.pingNow, row.ping) << row.left << " " << row.untilDue;
        EXPECT_EQ(step.done, row.done) << row.left << " " << row.untilDue;
    }
}

TEST_F(PacketThreadTest, ServesAConnectionThroughCutFramesFloodsAndAClose) {
    ScriptedServer server;
    connectAsGuest(server);
    // The packet thread's first ping and the hand-over's "whoami" race each other; both come at once.
    ASSERT_TRUE(server.waitForReceived(payload(RealtimeProtocol::ping()), 1, 1s));
    EXPECT_EQ(server.received().size(), 2u);
    EXPECT_TRUE(threadNamed("brannoc-packets"));

    // A size prefix and a body in pieces make one packet.
    const std::vector<char> bytes = RealtimeProtocol::frame(total(6));
    for (std::size_t at = 0; at < bytes.size(); at += 3) {
        server.sendBytes(std::string(bytes.data() + at, std::min<std::size_t>(3, bytes.size() - at)));
        std::this_thread::sleep_for(15ms);
    }
    ASSERT_TRUE(runFrames([] { return RealtimeLink::deathTotal == 6; }));

    // Malformed, unknown, empty and very long packets leave the link connected and the table intact.
    sf::Packet many = serverPacket("userstates");
    many << sf::Uint16(5000);
    for (int i = 0; i < 5000; ++i)
        many << ("user" + std::to_string(i)) << std::string(40, 'n') << sf::Uint16(1);
    sf::Packet cut = serverPacket("deathindex");
    cut << sf::Uint16(3) << std::string("user1") << std::string("X");
    server.send(cut);
    server.sendBytes(std::string("\0\0\0\0", 4));
    server.send(serverPacket("Deathcount") << sf::Uint16(99));
    server.sendBytes(std::string("\0\0\0\x08\xff\xff\xff\xff"
                                 "abcd",
                                 12));
    server.send(many);
    server.send(total(7));
    ASSERT_TRUE(runFrames([] { return RealtimeLink::deathTotal == 7; }));
    EXPECT_TRUE(RealtimeLink::connected);
    {
        std::lock_guard<std::mutex> lock(RealtimeLink::stateMutex);
        EXPECT_EQ(UserStateTable::entries.size(), 5000u);
        EXPECT_EQ(UserStateTable::entries["user1"].displayName, std::string(40, 'n'));
    }
    EXPECT_EQ(out.count(bellFailed), 1);

    // The server closes in the middle of a packet: the half packet is dropped, users go offline.
    const std::vector<char> half = RealtimeProtocol::frame(total(9));
    server.sendBytes(std::string(half.data(), 7));
    std::this_thread::sleep_for(30ms);
    server.closeConnection();
    ASSERT_TRUE(runFrames([&] { return out.count("Disconnected") == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(RealtimeLink::deathTotal, 7);
    std::lock_guard<std::mutex> lock(RealtimeLink::stateMutex);
    for (const auto& keyed : UserStateTable::entries)
        ASSERT_EQ(keyed.second.state, 0u) << keyed.first;
}

TEST_F(PacketThreadTest, StalledPeerStillReceivesEveryPacketWhole) {
    ScriptedServer::Options options;
    options.receiveBuffer = 4096;
    ScriptedServer server(options);
    connectAsGuest(server);
    const int client = clientSocketHandle();
    ASSERT_GE(client, 0);
    const int small = 4096;
    setsockopt(client, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

    // Long names make each "whoami" far larger than the buffers, so its sends come back partial;
    // meanwhile another thread sends "increment". Each packet must resume where it stopped and
    // let nothing in between.
    currentUser.userName = std::string(30000, 'u');
    currentUser.displayName = std::string(30000, 'd');
    server.setReading(false);
    constexpr int whoamis = 100;
    constexpr int increments = 3000;
    std::atomic<int> doneSending{0};
    std::thread incrementer([&] {
        for (int i = 0; i < increments; ++i)
            sendIncrement();
        ++doneSending;
    });
    std::thread namer([&] {
        for (int i = 0; i < whoamis; ++i)
            sendWhoami();
        ++doneSending;
    });
    std::this_thread::sleep_for(500ms);
    const bool blockedWhileStalled = doneSending == 0;
    server.setReading(true);
    incrementer.join();
    namer.join();
    EXPECT_TRUE(blockedWhileStalled) << "the stall never filled the buffers";

    const std::string increment = payload(RealtimeProtocol::increment());
    const std::string whoami =
        payload(RealtimeProtocol::whoami(currentUser.userName, currentUser.displayName));
    ASSERT_TRUE(server.waitForReceived(increment, increments));
    ASSERT_TRUE(server.waitForReceived(whoami, whoamis));
    for (const std::string& each : server.received())
        ASSERT_TRUE(each == increment || each == whoami || each == payload(RealtimeProtocol::ping()) ||
                    each == payload(RealtimeProtocol::whoami("Guest", "Guest")))
            << "a packet arrived corrupted: " << each.size() << " bytes";
    EXPECT_TRUE(RealtimeLink::connected);
}

TEST_F(PacketThreadTest, PeerStalledPastTheLimitGetsAClosedSocketNotAHalfPacketThenANewConnection) {
    ScriptedServer::Options options;
    options.receiveBuffer = 4096;
    ScriptedServer server(options);
    connectAsGuest(server);
    const int small = 4096;
    setsockopt(clientSocketHandle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    RealtimeLink::sendStallLimitMs = 300;

    server.setReading(false);
    for (int i = 0; i < 100000 && server.closedByClient() == 0; ++i)
        sendIncrement();
    server.setReading(true);
    ASSERT_TRUE(runFrames([&] { return server.closedByClient() == 1; }));
    // The half-sent packet never reaches the server as a packet; the stream just ends.
    for (const std::string& each : server.received())
        ASSERT_TRUE(each == payload(RealtimeProtocol::increment()) ||
                    each == payload(RealtimeProtocol::ping()) ||
                    each == payload(RealtimeProtocol::whoami("Guest", "Guest")));
    ASSERT_TRUE(runFrames([&] { return out.count("Error") > 0; }));
    {
        std::lock_guard<std::mutex> lock(RealtimeLink::stateMutex);
        EXPECT_EQ(statusText, "Error");
        EXPECT_EQ(headerTargetColour.r, 204.f);
    }

    // Pings cannot leave the failed socket, so the round trip times out and the link starts over.
    ASSERT_TRUE(runFrames(
        [&] { return server.accepted() == 2 && RealtimeLink::connectPhase == RealtimeLink::HandedOver; },
        4s));
    EXPECT_TRUE(RealtimeLink::connected);
    EXPECT_EQ(out.count("Timed out, attempting to reconnect"), 1);
    EXPECT_TRUE(server.waitForReceived(payload(RealtimeProtocol::whoami("Guest", "Guest")), 2));
}

TEST_F(PacketThreadTest, QuitEndsTheThreadAndClosesTheConnection) {
    ScriptedServer server;
    connectAsGuest(server);
    RealtimeLink::shutdown();
    EXPECT_FALSE(RealtimeLink::packetThread.joinable());
    ASSERT_TRUE(runFrames([&] { return server.closedByClient() == 1; }));
    EXPECT_FALSE(server.sawCutPacket());
}

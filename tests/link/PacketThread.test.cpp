#include "link/PacketThread.hpp"

#include "media/AssetStore.hpp"
#include "media/SoundBank.hpp"
#include "tests/link/LinkHarness.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

using namespace RealtimeLink;

namespace {

// No sound card here; the bell is observed through the sound bank's console lines instead.
const bool quietAudio = setenv("ALSOFT_DRIVERS", "null", 1) == 0;

sf::Packet total(sf::Uint16 n) {
    return serverPacket("deathcount") << n;
}

RealtimeProtocol::ServerMessage message(sf::Packet packet) {
    return RealtimeProtocol::read(packet);
}

// Shrinks the send buffer of the client's end of the connection, found by its peer port.
bool shrinkClientSendBuffer() {
    for (int fd = 3; fd < 1024; ++fd) {
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        const int small = 4096;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0 && ntohs(peer.sin_port) == 34567)
            return setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small) == 0;
    }
    return false;
}

// The packets the server got that are neither one of these nor a guest's whoami or a ping.
long strangers(const ScriptedServer& server, const std::vector<std::string>& known) {
    const std::vector<std::string> all = server.received();
    return std::count_if(all.begin(), all.end(), [&](const std::string& each) {
        return each != guestWhoami && each != pingPayload &&
               std::find(known.begin(), known.end(), each) == known.end();
    });
}

class PacketThreadTest : public LinkTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(quietAudio);
        LinkTest::SetUp();
        AssetStore::root = "./no-such-assets/";
        AssetStore::audioDir = "audio/";
        SoundBank::sounds.clear();
    }

    const std::string bellFailed = "Failed to load sound: './no-such-assets/audio/sound/boxingbell2.wav'";
};

} // namespace

TEST_F(PacketThreadTest, TotalsRingTheBellOnlyWhenAKnownTotalGrows) {
    useFakeClock(true);
    lastDeathClock.restart();
    const struct {
        std::int64_t advanceMs;
        sf::Packet packet;
        std::int32_t total;
        std::size_t lines;
        double sinceDeath;
    } rows[] = {
        {5000, total(6), 6, 0, 5.0},      // the first total rings nothing
        {0, total(7), 7, 1, 0.0},         // a bell restarts the clock, sound or not
        {3000, total(7), 7, 1, 3.0},      // equal and lower totals: no bell
        {0, total(2), 2, 1, 3.0},         //
        {0, total(65535), 65535, 2, 0.0}, //
        {0, serverPacket("deathcount") << sf::Uint8(1), 65535, 2, 0.0}, // a total without its number
    };
    for (const auto& row : rows) {
        fakeNow += row.advanceMs * ms;
        applyServerMessage(message(row.packet));
        EXPECT_EQ(deathTotal, row.total);
        EXPECT_EQ(out.lines().size(), row.lines) << row.total;
        EXPECT_EQ(lastDeathClock.elapsedSeconds(), row.sinceDeath) << row.total;
    }
    EXPECT_EQ(out.lines(), (std::vector<std::string>{bellFailed, "No sound buffered!"}));
}

TEST_F(PacketThreadTest, PongTakesTheRoundTrip) {
    useFakeClock(true);
    connected = true;
    roundTripClock.restart();
    fakeNow += 37 * ms + 400000;
    applyServerMessage(message(serverPacket("pong") << std::string("extra")));
    EXPECT_EQ(pingMs, 37);
    EXPECT_EQ(roundTripClock.elapsedSeconds(), 0.0);
}

TEST(PacketThreadPauses, IdleWaitsEndBeforeThePingAndPausesLetAPingFallingDueLeaveOnTime) {
    for (std::int64_t until = -5 * ms; until < 20 * ms; until += 50000) {
        const int wait = idleWaitMs(until);
        EXPECT_TRUE(wait >= 0 && wait <= 5) << "quit and a cleared flag must be seen within milliseconds";
        EXPECT_TRUE(wait == 0 || wait * ms <= until - ms)
            << "a wait of " << wait << " ms with " << until << " ns";
    }
    EXPECT_EQ(idleWaitMs(2000 * ms), 5);

    const struct {
        std::int64_t left, untilDue;
        bool connected;
        std::int64_t sleep;
        bool ping, done;
    } rows[] = {
        {0, 5 * ms, true, 0, false, true},              // the pause is over
        {20 * ms, 25 * ms, true, 20 * ms, false, true}, // no ping due within it
        {20 * ms, 1 * ms, false, 20 * ms, false, true}, // a lost link sends nothing more
        {20 * ms, 10 * ms, true, 8 * ms, false, false}, // wake a margin before the ping
        {12 * ms, 2 * ms, true, 0, true, false},        // inside the margin: ping
        {12 * ms, -3 * ms, true, 0, true, false},       // overdue: ping at once
    };
    for (const auto& row : rows) {
        const auto step = pauseStep(row.left, row.untilDue, row.connected);
        EXPECT_EQ(std::make_tuple(step.sleepNanos, step.pingNow, step.done),
                  std::make_tuple(row.sleep, row.ping, row.done))
            << row.left << " " << row.untilDue;
    }
}

TEST_F(PacketThreadTest, ServesAConnectionThroughCutFramesFloodsAndAClose) {
    ScriptedServer server;
    connectAsGuest(server);
    // The packet thread's first ping and the hand-over's "whoami" race each other; both come at once.
    ASSERT_TRUE(server.waitForReceived(pingPayload, 1, 1s));
    EXPECT_EQ(server.received().size(), 2u);
    EXPECT_TRUE(threadNamed("brannoc-packets"));

    // A size prefix and a body in pieces make one packet.
    const std::vector<char> bytes = RealtimeProtocol::frame(total(6));
    for (std::size_t at = 0; at < bytes.size(); at += 3) {
        server.sendBytes(std::string(bytes.data() + at, std::min<std::size_t>(3, bytes.size() - at)));
        std::this_thread::sleep_for(15ms);
    }
    ASSERT_TRUE(runFrames([] { return deathTotal == 6; }));

    // Malformed, unknown, empty and very long packets leave the link connected and the table intact.
    sf::Packet many = serverPacket("userstates") << sf::Uint16(5000);
    for (int i = 0; i < 5000; ++i)
        many << ("user" + std::to_string(i)) << std::string(40, 'n') << sf::Uint16(1);
    server.sendBytes(std::string(4, '\0'));
    server.send(serverPacket("Deathcount") << sf::Uint16(99));
    server.sendBytes(std::string("\0\0\0\x08\xff\xff\xff\xff", 8) + "abcd");
    server.send(many);
    // A list shorter than its count changes nothing, not even its complete first entry.
    server.send(serverPacket("deathindex") << sf::Uint16(3) << std::string("user1") << std::string("X")
                                           << sf::Uint16(9) << std::string("user2"));
    server.send(total(7));
    ASSERT_TRUE(runFrames([] { return deathTotal == 7; }));
    EXPECT_TRUE(connected);
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        EXPECT_EQ(UserStateTable::entries.size(), 5000u);
        EXPECT_EQ(UserStateTable::entries["user1"].displayName, std::string(40, 'n'));
        EXPECT_EQ(UserStateTable::entries["user1"].deathIndex, 0);
    }
    EXPECT_EQ(out.count(bellFailed), 1);

    // The server closes in the middle of a packet: the half packet is dropped, users go offline.
    server.sendBytes(std::string(RealtimeProtocol::frame(total(9)).data(), 7));
    server.closeConnection();
    EXPECT_TRUE(waitUntil([] {
        std::lock_guard<std::mutex> lock(stateMutex);
        return std::all_of(UserStateTable::entries.begin(), UserStateTable::entries.end(),
                           [](const auto& keyed) { return keyed.second.state == 0; });
    }));
    EXPECT_EQ(out.count("Disconnected"), 1);
    EXPECT_EQ(deathTotal, 7);
}

TEST_F(PacketThreadTest, StalledPeerGetsEveryPacketWholeAndPastTheLimitAClosedSocketThenANewConnection) {
    ScriptedServer server(16, 4096);
    connectAsGuest(server);
    ASSERT_TRUE(shrinkClientSendBuffer());

    // Long names make each "whoami" far larger than the buffers, so its sends come back partial;
    // meanwhile another thread sends "increment". Each packet must resume where it stopped and
    // let nothing in between.
    currentUser.userName = std::string(30000, 'u');
    currentUser.displayName = std::string(30000, 'd');
    server.setReading(false);
    std::atomic<int> doneSending{0};
    std::thread incrementer([&] {
        for (int i = 0; i < 3000; ++i)
            sendIncrement();
        ++doneSending;
    });
    std::thread namer([&] {
        for (int i = 0; i < 100; ++i)
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
    ASSERT_TRUE(server.waitForReceived(increment, 3000));
    ASSERT_TRUE(server.waitForReceived(whoami, 100));
    EXPECT_EQ(strangers(server, {increment, whoami}), 0) << "packets arrived corrupted";
    EXPECT_TRUE(connected);

    // Stalled past the limit, the half-sent packet never reaches the server; the stream just ends.
    sendStallLimitMs = 300;
    server.setReading(false);
    for (int i = 0; i < 100000 && server.closedByClient() == 0; ++i)
        sendIncrement();
    server.setReading(true);
    ASSERT_TRUE(runFrames([&] { return server.closedByClient() == 1; }));
    EXPECT_EQ(strangers(server, {increment, whoami}), 0);
    ASSERT_TRUE(runFrames([&] { return out.count("Error") > 0; }));
    EXPECT_EQ(shown(), "Error 204 0 0");

    // Pings cannot leave the failed socket, so the round trip times out and the link starts over.
    ASSERT_TRUE(runFrames([&] { return server.accepted() == 2 && connectPhase == HandedOver; }, 4s));
    EXPECT_TRUE(connected);
    EXPECT_EQ(out.count("Timed out, attempting to reconnect"), 1);
    EXPECT_TRUE(server.waitForReceived(whoami, 101));
}

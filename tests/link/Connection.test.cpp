#include "tests/link/LinkHarness.hpp"

#include <sys/socket.h>
#include <unistd.h>

using namespace RealtimeLink;

namespace {

// The time-out check as it would run ten seconds from now: any clock left running times out.
void timeOutCheckTenSecondsOn() {
    fakeNow = Stopwatch::steadyNow() + 10'000 * ms;
    useFakeClock(true);
    timeOutCheck();
    useFakeClock(false);
}

bool noPacketThread(std::thread& thread, const char* name, void (*body)()) {
    return std::string(name) != "brannoc-packets" && startNamedThread(thread, name, body);
}

// A ping that has waited 2.5 s for its pong: the next time-out check finds it past 2000 ms.
void ageRoundTripClock() {
    std::lock_guard<std::mutex> lock(stateMutex);
    roundTripClock.restart();
    roundTripClock.start -= 2500 * ms;
    pingUnanswered = true;
}

bool handedOverAndConnected() {
    return connectPhase == HandedOver && connected;
}

// A name lookup that hangs until the test lets it go.
std::atomic<bool> lookupStarted{false};
std::atomic<bool> lookupReleased{false};
sf::IpAddress hangingLookup() {
    lookupStarted = true;
    waitUntil([] { return lookupReleased.load(); }, 60s, 1ms);
    return sf::IpAddress::LocalHost;
}

using ConnectionTest = LinkTest;

} // namespace

TEST_F(ConnectionTest, RefreshShowsTheLinkStateAndTheUser) {
    // A signed-in user sees the display name even while connecting, in the rank colour; with the
    // service out of reach that colour is "A00".
    const struct {
        ConnectPhase phase;
        bool connected, signedIn;
        const char* shown;
    } rows[] = {
        {Connecting, false, false, "Connecting... 0 96 204"},
        {HandedOver, true, false, "Guest 0 96 204"},
        {HandedOver, false, false, "Failed to connect! 255 0 0"},
        {Connecting, false, true, "Mira Vale 136 0 0"},
    };
    for (const auto& row : rows) {
        connectPhase = row.phase;
        connected = row.connected;
        currentUser.id = row.signedIn ? 12 : -1;
        currentUser.displayName = row.signedIn ? "Mira Vale" : "Guest";
        refreshStatusDisplay();
        EXPECT_EQ(shown(), row.shown);
    }
    EXPECT_EQ(statusAvatar.getTexture(), &currentUser.avatar);
}

TEST_F(ConnectionTest, RefusedFirstAttemptIsFinalForTheRun) {
    startUp();
    ASSERT_TRUE(runFrames([] { return connectPhase == HandedOver; }));
    EXPECT_FALSE(connected);
    EXPECT_EQ(shown(), "Failed to connect! 255 0 0");

    timeOutCheckTenSecondsOn();
    reconnectStep();
    EXPECT_EQ(out.lines(), std::vector<std::string>{"packet thread starting"});
    EXPECT_FALSE(reconnectPending);
    EXPECT_EQ(pingMs, 0);
    std::lock_guard<std::mutex> lock(stateMutex);
    EXPECT_EQ(lastDeathClock.elapsedSeconds(), 0.0);
}

TEST_F(ConnectionTest, ServerCloseReconnectsOnceAndFailedReconnectsRepeatUntilTheServerIsBack) {
    {
        ScriptedServer server;
        connectAsGuest(server);
        server.closeConnection();
        ASSERT_TRUE(runFrames([&] { return server.accepted() == 2 && handedOverAndConnected(); }));
        ASSERT_TRUE(server.waitForReceived(guestWhoami, 2));
        EXPECT_FALSE(reconnectPending);
        EXPECT_EQ(out.lines(),
                  (std::vector<std::string>{"packet thread starting", "Disconnected",
                                            "Attempting to reconnect...", "packet thread starting"}));
        EXPECT_EQ(shown(), "Guest 0 96 204");
    }
    ASSERT_TRUE(runFrames([&] { return out.count("Attempting to reconnect...") >= 4; }));
    EXPECT_EQ(out.count("packet thread starting"), 2) << "a failed reconnect hands nothing over";
    EXPECT_TRUE(reconnectPending);

    ScriptedServer again;
    ASSERT_TRUE(runFrames(handedOverAndConnected));
    EXPECT_TRUE(again.waitForReceived(guestWhoami, 1));
    EXPECT_EQ(out.count("packet thread starting"), 3);
    EXPECT_FALSE(reconnectPending);
}

TEST(ConnectionTimeOut, ALateNextPingDoesNotEndALinkWhoseLastPingWasAnswered) {
    const struct {
        std::int32_t elapsedMs;
        bool unanswered, connected, lost;
    } rows[] = {
        {2000, true, true, false},  {2001, true, true, true},   // a ping waits past the limit
        {2001, false, true, false}, {3500, false, true, false}, // the next ping is merely late
        {4000, false, true, false}, {4001, false, true, true},  // no ping for a whole further interval
        {2001, false, false, true}, {1500, true, false, false}, // already lost: the limit alone
    };
    for (const auto& row : rows)
        EXPECT_EQ(timedOut(row.elapsedMs, row.unanswered, row.connected), row.lost)
            << row.elapsedMs << " " << row.unanswered << " " << row.connected;
}

TEST_F(ConnectionTest, TimeOutMarksTheLinkLostTheNextFrameReconnectsAndQuitCloses) {
    ScriptedServer server;
    connectAsGuest(server);
    server.send(serverPacket("userstates")
                << sf::Uint16(1) << std::string("bob") << std::string("Bob") << sf::Uint16(1));
    ASSERT_TRUE(runFrames([] {
        std::lock_guard<std::mutex> lock(stateMutex);
        return UserStateTable::entries["bob"].state == 1;
    }));

    ageRoundTripClock();
    timeOutCheck();
    EXPECT_EQ(out.count("Timed out, attempting to reconnect"), 1);
    EXPECT_FALSE(connected);
    EXPECT_TRUE(reconnectPending);
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        EXPECT_EQ(UserStateTable::entries["bob"].state, 0u);
    }
    // The socket is closed at once; the old packet thread leaves the clock stopped as it goes.
    ASSERT_TRUE(waitUntil([&] { return server.closedByClient() == 1 && !threadNamed("brannoc-packets"); }));
    packetThread.join();
    timeOutCheckTenSecondsOn();
    EXPECT_EQ(out.count("Timed out, attempting to reconnect"), 1);

    ASSERT_TRUE(runFrames([&] { return server.accepted() == 2 && handedOverAndConnected(); }));
    EXPECT_TRUE(server.waitForReceived(guestWhoami, 2));
    EXPECT_EQ(out.count("Attempting to reconnect..."), 1);

    // Quit ends the packet thread and closes the connection between packets.
    shutdown();
    EXPECT_FALSE(packetThread.joinable());
    ASSERT_TRUE(waitUntil([&] { return server.closedByClient() == 2; }));
    EXPECT_FALSE(server.sawCutPacket());
}

TEST_F(ConnectionTest, TimeOutWhileConnectingLeavesTheAttemptAlone) {
    ScriptedServer server(0);
    connectAsGuest(server);

    // One waiting connection fills a zero backlog: the next attempt's SYNs are dropped and its
    // connect stays under way until the queue has room again.
    server.setAccepting(false);
    std::this_thread::sleep_for(50ms);
    const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = realtimeAddress();
    ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    server.closeConnection();
    ASSERT_TRUE(runFrames([&] { return out.count("Attempting to reconnect...") == 1; }));
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(connectPhase, Connecting) << "the attempt was not held up";

    ageRoundTripClock();
    timeOutCheck();
    EXPECT_EQ(out.count("Timed out, attempting to reconnect"), 1);
    EXPECT_EQ(connectPhase, Connecting);

    // The attempt's socket must not have been closed under it: packets still arrive on it.
    server.setAccepting(true);
    ASSERT_TRUE(runFrames([&] { return server.accepted() == 3 && handedOverAndConnected(); }, 10s));
    EXPECT_TRUE(server.waitForReceived(guestWhoami, 2));
    server.send(serverPacket("deathcount") << sf::Uint16(5));
    EXPECT_TRUE(runFrames([] { return deathTotal == 5 || !connected; }));
    EXPECT_EQ(out.count("Error"), 0);
    EXPECT_EQ(out.count("Attempting to reconnect..."), 1);
    EXPECT_TRUE(connected);
    close(filler);
}

TEST_F(ConnectionTest, ThreadsThatCannotStartCountAsFailedAttempts) {
    startThread = [](std::thread&, const char*, void (*)()) { return false; };
    startUp();
    ASSERT_TRUE(runFrames([] { return connectPhase == HandedOver; }));
    EXPECT_EQ(shown(), "Failed to connect! 255 0 0");
    reconnectStep();
    EXPECT_FALSE(reconnectPending) << "the first attempt is final";
    resetLink();

    ScriptedServer server;
    connectAsGuest(server);
    startThread = [](std::thread&, const char*, void (*)()) { return false; };
    server.closeConnection();
    ASSERT_TRUE(runFrames([&] { return out.count("Attempting to reconnect...") >= 3; }));
    EXPECT_FALSE(connected);

    // A connection without a packet thread is closed and tried again.
    startThread = &noPacketThread;
    ASSERT_TRUE(runFrames([&] { return server.accepted() >= 3 && server.closedByClient() >= 2; }));

    startThread = &startNamedThread;
    ASSERT_TRUE(runFrames([] { return handedOverAndConnected() && packetThread.joinable(); }));
    EXPECT_FALSE(reconnectPending);
}

TEST_F(ConnectionTest, ShutdownLeavesALookupThatHangsBehindUntouched) {
    ScriptedServer server;
    resolveHost = &hangingLookup;
    startUp();
    ASSERT_TRUE(runFrames([] { return lookupStarted.load(); }));
    const auto start = std::chrono::steady_clock::now();
    shutdown();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
    EXPECT_FALSE(connectThread.joinable());

    // Let go, the lookup's thread ends by itself without connecting or reporting an attempt.
    lookupReleased = true;
    ASSERT_TRUE(runFrames([] { return !threadNamed("brannoc-connect"); }));
    EXPECT_EQ(server.accepted(), 0);
    EXPECT_EQ(connectPhase, Connecting);
}

#include "link/Connection.hpp"

#include "link/RealtimeLink.hpp"
#include "link/RealtimeProtocol.hpp"
#include "link/StatusDisplay.hpp"
#include "link/UserStateTable.hpp"
#include "tests/link/LinkHarness.hpp"
#include "web/UserProfile.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace RealtimeLink;

namespace {

const std::string whoamiGuest = payload(RealtimeProtocol::whoami("Guest", "Guest"));

bool noThread(std::thread&, const char*, void (*)()) {
    return false;
}

bool noPacketThread(std::thread& thread, const char* name, void (*body)()) {
    return std::string(name) != "brannoc-packets" && startNamedThread(thread, name, body);
}

std::string shownText() {
    std::lock_guard<std::mutex> lock(stateMutex);
    return statusText;
}

HeaderColour shownColour() {
    std::lock_guard<std::mutex> lock(stateMutex);
    return headerTargetColour;
}

void expectColour(HeaderColour colour, float r, float g, float b) {
    EXPECT_EQ(colour.r, r);
    EXPECT_EQ(colour.g, g);
    EXPECT_EQ(colour.b, b);
}

// Moves the round-trip clock back so the next time-out check finds it past 2000 ms.
// A ping that has waited 2.5 s for its pong.
void ageRoundTripClock() {
    std::lock_guard<std::mutex> lock(stateMutex);
    roundTripClock.restart();
    roundTripClock.start -= 2500 * 1000000LL;
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
    while (!lookupReleased)
        std::this_thread::sleep_for(1ms);
    return sf::IpAddress::LocalHost;
}

class ConnectionTest : public testing::Test {
protected:
    void SetUp() override { resetLink(); }
    void TearDown() override {
        resetLink();
        currentUser = UserProfile{};
    }

    StdoutCapture out;
};

} // namespace

TEST_F(ConnectionTest, RefreshShowsTheLinkStateAndTheUser) {
    connectPhase = Connecting;
    refreshStatusDisplay();
    EXPECT_EQ(shownText(), "Connecting...");
    expectColour(shownColour(), 0.f, 96.f, 204.f);

    connectPhase = HandedOver;
    connected = true;
    refreshStatusDisplay();
    EXPECT_EQ(shownText(), "Guest");
    expectColour(shownColour(), 0.f, 96.f, 204.f);

    connected = false;
    refreshStatusDisplay();
    EXPECT_EQ(shownText(), "Failed to connect!");
    expectColour(shownColour(), 255.f, 0.f, 0.f);

    // A signed-in user sees the display name even while connecting, in the rank colour; with the
    // service out of reach that colour is "A00".
    currentUser.id = 12;
    currentUser.displayName = "Mira Vale";
    connectPhase = Connecting;
    refreshStatusDisplay();
    EXPECT_EQ(shownText(), "Mira Vale");
    expectColour(shownColour(), 136.f, 0.f, 0.f);
    EXPECT_EQ(statusAvatar.getTexture(), &currentUser.avatar);
}

TEST_F(ConnectionTest, RefusedFirstAttemptIsFinalForTheRun) {
    startUp();
    refreshStatusDisplay();
    ASSERT_TRUE(runFrames([] { return connectPhase == HandedOver; }));
    EXPECT_FALSE(connected);
    EXPECT_EQ(shownText(), "Failed to connect!");
    expectColour(shownColour(), 255.f, 0.f, 0.f);

    // Long enough for a time-out to show if the stopped clock ever ran.
    runFrames([] { return false; }, 2500ms);
    EXPECT_EQ(out.lines(), std::vector<std::string>{"packet thread starting"});
    EXPECT_FALSE(reconnectPending);
    EXPECT_EQ(pingMs, 0);
    std::lock_guard<std::mutex> lock(stateMutex);
    EXPECT_EQ(lastDeathClock.elapsedSeconds(), 0.0);
}

TEST_F(ConnectionTest, ServerCloseLeadsToOneReconnectAndASecondWhoami) {
    ScriptedServer server;
    connectAsGuest(server);
    server.closeConnection();
    ASSERT_TRUE(runFrames([&] { return server.accepted() == 2 && handedOverAndConnected(); }));
    ASSERT_TRUE(server.waitForReceived(whoamiGuest, 2));
    EXPECT_FALSE(reconnectPending);
    EXPECT_EQ(out.lines(),
              (std::vector<std::string>{"packet thread starting", "Disconnected",
                                        "Attempting to reconnect...", "packet thread starting"}));
    EXPECT_EQ(shownText(), "Guest");
}

TEST_F(ConnectionTest, FailedReconnectsFollowOneAnotherUntilTheServerIsBack) {
    {
        ScriptedServer server;
        connectAsGuest(server);
    }
    ASSERT_TRUE(runFrames([&] { return out.count("Attempting to reconnect...") >= 3; }));
    EXPECT_EQ(out.count("packet thread starting"), 1) << "a failed reconnect hands nothing over";
    EXPECT_TRUE(reconnectPending);

    ScriptedServer again;
    ASSERT_TRUE(runFrames(handedOverAndConnected));
    EXPECT_TRUE(again.waitForReceived(whoamiGuest, 1));
    EXPECT_EQ(out.count("packet thread starting"), 2);
    EXPECT_FALSE(reconnectPending);
}

TEST(ConnectionTimeOut, ALateNextPingDoesNotEndALinkWhoseLastPingWasAnswered) {
    struct Row {
        std::int32_t elapsedMs;
        bool unanswered;
        bool connected;
        bool lost;
    };
    const Row rows[] = {
        {2000, true, true, false},  {2001, true, true, true},   // a ping waits past the limit
        {2001, false, true, false}, {3500, false, true, false}, // the next ping is merely late
        {4000, false, true, false}, {4001, false, true, true},  // no ping for a whole further interval
        {2001, false, false, true}, {1500, true, false, false}, // already lost: the limit alone
    };
    for (const auto& row : rows)
        EXPECT_EQ(timedOut(row.elapsedMs, row.unanswered, row.connected), row.lost)
            << row.elapsedMs << " " << row.unanswered << " " << row.connected;
}

TEST_F(ConnectionTest, TimeOutMarksTheLinkLostAndTheNextFrameReconnects) {
    ScriptedServer server;
    connectAsGuest(server);
    sf::Packet states = serverPacket("userstates");
    states << sf::Uint16(1) << std::string("bob") << std::string("Bob") << sf::Uint16(1);
    server.send(states);
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
        EXPECT_EQ(roundTripClock.elapsedSeconds(), 0.0);
    }
    // The socket is closed at once; the old packet thread leaves the clock stopped as it goes.
    while (server.closedByClient() == 0)
        std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(50ms);
    timeOutCheck();
    EXPECT_EQ(out.count("Timed out, attempting to reconnect"), 1);

    ASSERT_TRUE(runFrames([&] { return server.accepted() == 2 && handedOverAndConnected(); }));
    EXPECT_TRUE(server.waitForReceived(whoamiGuest, 2));
    EXPECT_EQ(out.count("Attempting to reconnect..."), 1);
}

TEST_F(ConnectionTest, TimeOutWhileConnectingLeavesTheAttemptAlone) {
    ScriptedServer::Options options;
    options.backlog = 0;
    ScriptedServer server(options);
    connectAsGuest(server);

    // One waiting connection fills a zero backlog: the next attempt's SYNs are dropped and its
    // connect stays under way until the queue has room again.
    server.setAccepting(false);
    std::this_thread::sleep_for(50ms);
    const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(34567);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    server.closeConnection();
    ASSERT_TRUE(runFrames([&] { return out.count("Attempting to reconnect...") == 1; }));
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(connectPhase, Connecting) << "the attempt was not held up";

    ageRoundTripClock();
    timeOutCheck();
    EXPECT_EQ(out.count("Timed out, attempting to reconnect"), 1);
    EXPECT_EQ(connectPhase, Connecting);

    server.setAccepting(true);
    ASSERT_TRUE(runFrames([&] { return server.accepted() == 3 && handedOverAndConnected(); }, 10s));
    EXPECT_TRUE(server.waitForReceived(whoamiGuest, 2));
    runFrames([] { return false; }, 200ms);
    EXPECT_EQ(out.count("Error"), 0) << "the attempt's socket was closed under it";
    EXPECT_TRUE(connected);
    close(filler);
}

TEST_F(ConnectionTest, ThreadsThatCannotStartCountAsFailedAttempts) {
    startThread = &noThread;
    startUp();
    ASSERT_TRUE(runFrames([] { return connectPhase == HandedOver; }));
    EXPECT_EQ(shownText(), "Failed to connect!");
    runFrames([] { return false; }, 300ms);
    EXPECT_EQ(out.count("Attempting to reconnect..."), 0);
    resetLink();

    ScriptedServer server;
    connectAsGuest(server);
    startThread = &noThread;
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

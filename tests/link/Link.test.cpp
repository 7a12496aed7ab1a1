// The realtime link in-process: pure decisions as tables, then the threads against the scripted peer.
#include "tests/link/ScriptedPeer.hpp"

TEST(LinkDecisions, TimeOutIdleWaitAndPauseAreTables) {
    // Elapsed ms, ping unanswered, connected; lost. A late next ping does not end an answered link.
    const std::tuple<int, bool, bool, bool> rows[] = {
        {2000, true, true, false},  {2001, true, true, true},   // a ping waits past the limit
        {2001, false, true, false}, {3500, false, true, false}, // the next ping is merely late
        {4000, false, true, false}, {4001, false, true, true},  // no ping for a whole further interval
        {2001, false, false, true}, {1500, true, false, false}, // already lost: the limit alone
    };
    for (const auto& [elapsed, unanswered, isConnected, lost] : rows)
        EXPECT_EQ(timedOut(elapsed, unanswered, isConnected), lost) << elapsed << unanswered << isConnected;
    // Idle waits are short and end a margin before the ping, so quit and a cleared flag are seen in time.
    EXPECT_EQ(std::tuple(idleWaitMs(2999999), idleWaitMs(3 * ms), idleWaitMs(ms * ms)), std::tuple(0, 1, 5));
    // The pause after a packet: nanoseconds left, until the ping, connected; then sleep, ping now, done.
    const std::tuple<std::int64_t, std::int64_t, bool, std::int64_t, bool, bool> steps[] = {
        {0, 5 * ms, true, 0, false, true},              // the pause is over
        {20 * ms, 25 * ms, true, 20 * ms, false, true}, // no ping due within it
        {20 * ms, 1 * ms, false, 20 * ms, false, true}, // a lost link sends nothing more
        {20 * ms, 10 * ms, true, 8 * ms, false, false}, // wake a margin before the ping
        {12 * ms, 2 * ms, true, 0, true, false},        // inside the margin: ping
        {12 * ms, -3 * ms, true, 0, true, false},       // overdue: ping at once
    };
    for (const auto& [left, untilDue, isConnected, sleep, ping, done] : steps) {
        const PauseStep step = pauseStep(left, untilDue, isConnected);
        EXPECT_EQ(std::tie(step.sleepNanos, step.pingNow, step.done), std::tie(sleep, ping, done)) << left;
    }
}

TEST_F(LinkTest, ServesWhateverThePeerSendsAndTakesLostConnectionsUpAgainUntouchedByATimeOutWhileConnecting) {
    auto peer = std::make_unique<ScriptedPeer>(0);
    startUp();
    ASSERT_TRUE(runFrames([&] { return peer->count(guestWhoami) == 1 && handedOverAndConnected(); }));
    // The packet thread's first ping and the hand-over's "whoami" race each other; both come at once.
    ASSERT_TRUE(waitUntil([&] { return peer->count(pingFrame) == 1; }));
    EXPECT_EQ(peer->count(), 2);
    // The round trip's clock starts just after the ping leaves: the clock moves only once it has.
    ASSERT_TRUE(waitUntil([] { return (std::lock_guard(stateMutex), pingUnanswered); }));
    // The pong 2000 ms after the ping gives the round trip; by then no ping was due, as an increment
    // sent after it arrives with no ping before it. 1 ms later the next ping leaves.
    fakeNow += 2000 * ms;
    peer->send(sf::Packet() << "pong" << sf::Uint16(1)); // extra fields are ignored
    ASSERT_TRUE(waitUntil([] { return pingMs == 2000; }));
    sendIncrement();
    ASSERT_TRUE(waitUntil([&] { return peer->count(incrementFrame) == 1; }));
    EXPECT_EQ(peer->count(pingFrame), 1);
    fakeNow += 1 * ms;
    ASSERT_TRUE(waitUntil([&] { return peer->count(pingFrame) == 2; }));
    // Only a known total that grows rings the bell, restarting the time since the last death.
    fakeNow += 5000 * ms;
    for (const int next : {3, 7, 7, 2, 65535})
        peer->send(total(sf::Uint16(next)));
    ASSERT_TRUE(waitUntil([] { return deathTotal == 65535; }));
    EXPECT_EQ((std::lock_guard(stateMutex), lastDeathClock.elapsedSeconds()), 0.0);
    // A frame in pieces, its size prefix split too, makes one packet; each piece is read first.
    const std::string split =
        framed(sf::Packet() << "userstates" << sf::Uint16(1) << "amy" << std::string() << sf::Uint16(1));
    for (const auto& piece : {split.substr(0, 1), split.substr(1, 2), split.substr(3, 5), split.substr(8)}) {
        ASSERT_TRUE(waitUntil([] { return clientSocketQuery(FIONREAD) == 0; }));
        peer->send(piece);
    }
    // Malformed, empty and long packets are dropped whole, and the stream stays in step.
    sf::Packet crowd = sf::Packet() << "userstates" << sf::Uint16(5000), empty;
    for (int i = 0; i < 5000; ++i)
        crowd << ("user" + std::to_string(i)) << std::string(40, 'n') << sf::Uint16(1);
    peer->send(empty);
    peer->send(sf::Packet() << "deathcount" << sf::Uint8(1)); // a total without its number
    // A list shorter than its count changes nothing, not even its first entry, complete as it is.
    peer->send(sf::Packet() << "deathindex" << sf::Uint16(3) << "user1" << std::string("X") << sf::Uint16(9)
                            << "user2");
    peer->send(sf::Packet() << "filler" << std::string(1 << 20, 'x'));
    peer->send(crowd);
    peer->send(total(7));
    ASSERT_TRUE(waitUntil([] { return deathTotal == 7; }));
    EXPECT_EQ(usersOnline(), 5001);
    EXPECT_EQ(UserStateTable::entries["user1"].deathIndex, 0);

    // A close mid-frame drops the half frame and takes users offline. A waiting connection fills the zero
    // backlog, so the next connect stays under way: a time-out meanwhile leaves the attempt alone.
    peer->send(framed(total(9)).substr(0, 7));
    ASSERT_TRUE(waitUntil([] { return clientSocketQuery(FIONREAD) == 0; }));
    peer->accepting = false;
    sf::TcpSocket filler;
    ASSERT_EQ(filler.connect(sf::IpAddress::LocalHost, port), sf::Socket::Done);
    peer->close();
    ASSERT_TRUE(runFrames([&] { return lines("Attempting to reconnect...") == 1; }));
    ASSERT_TRUE(waitUntil([] { return connectPhase == Connecting && clientSocketQuery(SIOCOUTQ) == 0; }));
    fakeNow += 4500 * ms;
    timeOutCheck();
    peer->accepting = true;
    ASSERT_TRUE(runFrames([&] { return peer->count(guestWhoami) == 2 && handedOverAndConnected(); }));
    EXPECT_EQ(std::pair(usersOnline(), int(deathTotal)), std::pair(0L, 7));
    EXPECT_EQ(shown(), "Guest 0 96 204");
    // A frame beyond any real list is refused at its size, before any of it is kept, as a close.
    sf::Packet huge;
    huge.append(std::string(FrameReader::sizeLimit + 1, 'x').data(), FrameReader::sizeLimit + 1);
    peer->send(huge);
    ASSERT_TRUE(runFrames([&] { return peer->count(guestWhoami) == 3 && handedOverAndConnected(); }));
    const std::string again = "Disconnected\nAttempting to reconnect...\npacket thread starting\n";
    const std::string bells = "Failed to load sound: '" + bellPath() + "'\nNo sound buffered!\n";
    EXPECT_EQ(console(), "packet thread starting\n" + bells + "Disconnected\nAttempting to reconnect...\n" +
                             "Timed out, attempting to reconnect\npacket thread starting\n" + again);

    // Without a server, or without threads, attempts fail and repeat; clicks meanwhile are dropped.
    // A connection whose packet thread cannot start is closed and tried again.
    peer.reset();
    ASSERT_TRUE(runFrames([&] { return lines("Attempting to reconnect...") >= 5; }));
    startThread = [](std::thread&, const char*, void (*)()) { return false; };
    ASSERT_TRUE(runFrames([&] { return lines("Attempting to reconnect...") >= 9; }));
    EXPECT_EQ(lines("packet thread starting"), 3) << "a failed attempt hands nothing over";
    sendIncrement();
    peer = std::make_unique<ScriptedPeer>();
    startThread = [](std::thread& thread, const char* name, void (*body)()) {
        return name != "brannoc-packets"s && startNamedThread(thread, name, body);
    };
    ASSERT_TRUE(runFrames([&] { return peer->count() == 0 && peer->accepted >= 3; }));
    startThread = &startNamedThread;
    ASSERT_TRUE(runFrames([&] { return peer->count(guestWhoami) == 1 && handedOverAndConnected(); }));
    sendIncrement();
    ASSERT_TRUE(waitUntil([&] { return peer->count(incrementFrame) > 0; }));
    EXPECT_EQ(peer->count(incrementFrame), 1);
}

TEST_F(LinkTest, StalledPeerGetsEveryPacketWholeAndPastTheLimitAClosedSocketThenATimeOut) {
    ScriptedPeer peer;
    startUp();
    ASSERT_TRUE(runFrames([&] { return peer.count(guestWhoami) == 1 && handedOverAndConnected(); }));
    peer.send(sf::Packet() << "userstates" << sf::Uint16(1) << "bob" << std::string("Bob") << sf::Uint16(1));
    // A "whoami" far larger than the buffers goes out in partial sends while another thread sends
    // "increment": each packet must resume where it stopped and let nothing in between.
    currentUser.userName = currentUser.displayName = std::string(30000, 'n');
    const std::string whoami = framed(RealtimeProtocol::whoami(currentUser.userName, currentUser.userName));
    std::thread incrementer(repeat, 3000, &sendIncrement), namer(repeat, 100, &sendWhoami);
    const bool stalled = waitUntil([] { return clientSocketQuery(SIOCOUTQ) > 100000; }); // bytes pile up
    const bool whole = waitUntil([&] { return peer.count(incrementFrame) + peer.count(whoami) == 3100; });
    incrementer.join();
    namer.join();
    EXPECT_TRUE(stalled && whole && usersOnline() == 1);
    EXPECT_EQ(peer.count(), 3102) << "packets arrived corrupted";

    // Stalled past the limit, the half-sent packet never reaches the peer: the stream just ends.
    sendStallLimitMs = 300;
    std::thread staller(repeat, 1000, &sendWhoami);
    const bool closed = waitUntil([] { return clientSocketQuery(SIOCOUTQ) < 0; });
    quitRequested = !closed; // else the sends would never give up
    staller.join();
    ASSERT_TRUE(closed) << "the sends waited on the stalled peer past the limit";
    ASSERT_TRUE(waitUntil([&] { return peer.count() - peer.count(whoami) == 3002 && peer.closedByClient; }));
    ASSERT_TRUE(waitUntil([] { return shown() == "Error 204 0 0"; }));
    // Pings cannot leave the failed socket: the round trip times out, users go offline, a link starts over.
    fakeNow += 4500 * ms;
    ASSERT_TRUE(runFrames([&] { return peer.count() && peer.accepted == 2 && handedOverAndConnected(); }));
    EXPECT_EQ(lines("Timed out, attempting to reconnect"), 1);
    EXPECT_EQ(usersOnline(), 0);
}

TEST_F(LinkTest, ARefusedFirstAttemptIsFinalForTheRun) {
    startUp();
    ASSERT_TRUE(runFrames([] { return connectPhase == HandedOver; }));
    EXPECT_EQ(shown(), "Failed to connect! 255 0 0");
    fakeNow += 10'000 * ms;
    timeOutCheck();
    reconnectStep();
    EXPECT_EQ(console(), "packet thread starting\n");
    EXPECT_EQ(pingMs + lastDeathClock.elapsedSeconds(), 0.0);
}

// The real client on a screen of its own with no server to reach: its start lines, where its
// windows go, what it draws, how it answers the pointer and the keyboard, and the ways it ends.

#include "tests/support/Harness.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::vector<std::string> startLines(const std::string& user) {
    return {user, coreBanner, assetBanner, "view size: 640 x 400", "view size: 640 x 400"};
}

int countIn(const sf::Image& shot, unsigned x0, unsigned y0, unsigned x1, unsigned y1,
            bool (*match)(sf::Color)) {
    int count = 0;
    for (unsigned y = y0; y < y1; ++y)
        for (unsigned x = x0; x < x1; ++x)
            count += match(shot.getPixel(x, y)) ? 1 : 0;
    return count;
}

// Connections to the realtime port whose SYN is still unanswered.
int hangingConnects() {
    std::ifstream table("/proc/net/tcp");
    int count = 0;
    for (std::string line; std::getline(table, line);)
        count += line.find(":8707 02 ") != std::string::npos ? 1 : 0;
    return count;
}

// On a 1024 x 900 screen the pair of windows (640 x 800) is centred: the main window at (192, 50),
// the button window right below it.
const std::array<int, 4> mainPlace{192, 50, 640, 400}, buttonPlace{192, 450, 640, 400};

} // namespace

TEST(ClientFrame, StartsAsTheGuestWithoutAWebServicePlacesDrawsDragsAndClosesOnTheReleaseOfEscape) {
    Seat seat({"-token", "tk-1"});
    ASSERT_TRUE(seat.ready && waitUntil([&] { return seat.client.lines().size() >= 5; }));
    EXPECT_EQ(seat.client.lines(5), startLines("Logged in as Varkel user Guest (Guest)"));
    EXPECT_EQ(seat.geometry(seat.main), mainPlace);
    EXPECT_EQ(seat.geometry(seat.button), buttonPlace);

    // With no server the header fades from black to red, a gradient to black at its right end; the
    // white frame covers columns 0 and 1, so column x shows red times (640 - x - 0.5) / 640.
    const auto red = [](unsigned x) { return 255.0 * (640 - x - 0.5) / 640; };
    sf::Image shot;
    EXPECT_TRUE(waitUntil([&] {
        shot = seat.shot(seat.main);
        const sf::Color p = shot.getPixel(2, 25);
        return p.g + p.b == 0 && std::abs(p.r - red(2)) <= 1.0;
    })) << "the header did not fade to red";
    for (const unsigned x : {3u, 320u, 637u})
        for (const unsigned y : {10u, 47u}) {
            EXPECT_NEAR(shot.getPixel(x, y).r, red(x), 1.0) << "header at " << x << ", " << y;
            EXPECT_EQ(shot.getPixel(x, y).g + shot.getPixel(x, y).b, 0) << "header at " << x << ", " << y;
        }
    const auto white = [](sf::Color p) { return p == sf::Color::White; };
    EXPECT_EQ(countIn(shot, 0, 0, 640, 400, white) - countIn(shot, 2, 2, 638, 398, white),
              640 * 400 - 636 * 396)
        << "the frame's two outer rows and columns are not all white";
    EXPECT_EQ(shot.getPixel(600, 250), sf::Color::Black) << "body";
    EXPECT_GT(
        countIn(shot, 200, 318, 440, 360, [](sf::Color p) { return p.r > 200 && p.g > 130 && p.b < 60; }), 20)
        << "the orange elapsed time";
    // The button window: the green ping line at (8, 8) on black, nothing else.
    const sf::Image pings = seat.shot(seat.button);
    EXPECT_GT(countIn(pings, 8, 8, 120, 30, [](sf::Color p) { return p.g > 128 && p.r < 64 && p.b < 64; }),
              20);
    EXPECT_EQ(countIn(pings, 0, 0, 640, 400, [](sf::Color p) { return p != sf::Color::Black; }),
              countIn(pings, 6, 6, 120, 30, [](sf::Color p) { return p != sf::Color::Black; }))
        << "drawn outside the ping line";
    if (HasFailure())
        shot.saveToFile("frame-main.png") && pings.saveToFile("frame-button.png");

    // A left press on the header band drags the main window alone, until the release.
    ASSERT_TRUE(seat.xdo("mousedown 1 mousemove 572 99"));
    EXPECT_TRUE(waitUntil([&] { return seat.geometry(seat.main)[0] == 252; })) << "no drag";
    ASSERT_TRUE(seat.xdo("mousemove 572 129"));
    EXPECT_TRUE(waitUntil([&] { return seat.geometry(seat.main)[1] == 80; })) << "no drag down";
    ASSERT_TRUE(seat.xdo("mouseup 1") && seat.waitFrames());
    const std::array<int, 4> dropped{252, 80, 640, 400};
    // Each step is seen by a frame before the next: moving after the release, a left press on the
    // first row below the band (y 50) and a right press in the band move nothing.
    for (const char* step : {"mousemove 572 130", "mousedown 1", "mousemove 632 150", "mouseup 1",
                             "mousemove 572 90", "mousedown 3", "mousemove 632 110", "mouseup 3"}) {
        ASSERT_TRUE(seat.xdo(step) && seat.waitFrames());
        EXPECT_EQ(seat.geometry(seat.main), dropped) << "after " << step;
    }
    EXPECT_EQ(seat.geometry(seat.button), buttonPlace);

    // Another key and the press of Escape leave it running; the release of Escape ends it.
    ASSERT_TRUE(seat.xdo("windowfocus --sync " + std::to_string(seat.main) + " key a keydown Escape"));
    ASSERT_TRUE(seat.waitFrames());
    EXPECT_EQ(seat.client.status(), -1) << "ended on another key or on the press of Escape";
    ASSERT_TRUE(seat.xdo("keyup Escape"));
    ASSERT_TRUE(seat.client.waitExit());
    EXPECT_EQ(seat.client.status(), 0);
}

// A listener whose accept queue is full drops further SYNs, like a host that drops packets: the
// client's connect hangs for the system's whole retry time.
TEST(ClientFrame, StartsAsTheLocalUserAndEndsPromptlyOnACloseRequestWhileItsConnectHangs) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(34567);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto* at = reinterpret_cast<const sockaddr*>(&address);
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(listener, at, sizeof address), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    const int queued = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(queued, at, sizeof address), 0);
    const int refused = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    connect(refused, at, sizeof address);

    Seat seat({});
    ASSERT_TRUE(seat.ready && waitUntil([&] { return seat.client.lines().size() >= 5; }));
    EXPECT_EQ(seat.client.lines(5), startLines("Local user"));
    ASSERT_TRUE(waitUntil([] { return hangingConnects() == 2; })) << "the client's connect is not under way";
    seat.requestClose(seat.main);
    EXPECT_TRUE(seat.client.waitExit(3s)) << "still running 3 s after the request to close";
    EXPECT_EQ(seat.client.status(), 0);
    for (int fd : {refused, queued, listener})
        close(fd);
}

TEST(ClientWithoutDisplay, SaysSoOnOneLineAndEndsWithStatusOne) {
    Process client({"env", "-u", "DISPLAY", buildDir + "/brannoc"});
    ASSERT_TRUE(client.waitExit());
    EXPECT_EQ(client.status(), 1);
    EXPECT_EQ(client.err(), "brannoc needs a display: DISPLAY is unset or its X server cannot be reached\n");
    EXPECT_EQ(client.out(), "");
}

// Before the check kept its connection, the server's reset between the check and the library's own
// connection made the library abort in a few starts out of twenty.
TEST(ClientFrame, StartsOnXServersThatResetWhenTheirLastClientLeaves) {
    for (int run = 0; run < 20; ++run) {
        Process xvfb({"sh", BRANNOC_SOURCE_DIR "/tests/support/isolate.sh", "--display", "640x800", "--reset",
                      "sh", "-c", "echo $DISPLAY && exec sleep 3600"});
        ASSERT_TRUE(waitUntil([&] { return !xvfb.lines().empty(); }));
        Process client({"env", "DISPLAY=" + xvfb.lines()[0], "ALSOFT_DRIVERS=null", buildDir + "/brannoc"});
        EXPECT_TRUE(
            waitUntil([&] { return client.count("view size: 640 x 400") == 2 || client.status() != -1; }));
        ASSERT_EQ(client.status(), -1) << "start " << run << " ended";
    }
}

// The real client under a private Xvfb with no realtime server listening: what it writes, where its
// windows go, what it draws, how it answers the pointer and the keyboard, and how it ends.

#include "tests/support/ClientFixture.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cmath>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const std::string coreBanner = "\x1b[36;1m[ Caldre : Initializing ]\x1b[0m";
const std::string assetBanner = "\x1b[35;1m[ Ossivar : Initializing ]\x1b[0m";

// Long enough for several frames of the software renderer on a loaded machine, since the client
// samples the pointer once per frame.
constexpr auto settle = 300ms;

// The main window is placed so that it and the button window below it (640 x 800 together) are
// centred on the screen, the top never above the screen's edge.
struct Point {
    int x;
    int y;
};

Point expectedMainPosition(int screenWidth, int screenHeight) {
    return {(screenWidth - 640) / 2, std::max(0, (screenHeight - 800) / 2)};
}

bool waitForPosition(XSession& x, XWindow window, int wantX, int wantY, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const WindowGeometry now = x.geometry(window);
        if (now.valid && now.x == wantX && now.y == wantY)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
}

::testing::AssertionResult isAt(const WindowGeometry& g, int wantX, int wantY) {
    if (g.valid && g.x == wantX && g.y == wantY)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "window at (" << g.x << ", " << g.y << "), expected (" << wantX << ", " << wantY << ")";
}

::testing::AssertionResult endsCleanly(ClientProcess& client) {
    if (!client.waitForExit(15s))
        return ::testing::AssertionFailure() << "still running 15 s after the request to close";
    if (!client.exitStatus().cleanZero())
        return ::testing::AssertionFailure() << "ended with " << client.exitStatus().describe();
    return ::testing::AssertionSuccess();
}

int countPixels(const Screenshot& shot, int x0, int y0, int x1, int y1, bool (*match)(const Rgb&)) {
    int count = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            count += match(shot.at(x, y)) ? 1 : 0;
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

class ClientFrame : public ClientFixture {};

class ClientFrameOnShortScreen : public ClientFixture {
protected:
    ClientFrameOnShortScreen() : ClientFixture(1024, 600) {}
};

} // namespace

TEST_F(ClientFrame, WritesItsStartLinesPlacesBothWindowsAndEndsOnButtonWindowClose) {
    ClientProcess& client = launch();
    ASSERT_TRUE(client.waitForLines(5, 30s)) << "start-up lines missing";
    const auto firstLines = client.stdoutLines();
    const std::vector<std::string> start(firstLines.begin(), firstLines.begin() + 5);
    EXPECT_EQ(start, (std::vector<std::string>{"Local user", coreBanner, assetBanner, "view size: 640 x 400",
                                               "view size: 640 x 400"}));

    ASSERT_TRUE(waitForWindows());
    const WindowGeometry main = x->geometry(mainWindow);
    const WindowGeometry button = x->geometry(buttonWindow);
    const Point place = expectedMainPosition(x->screenWidth(), x->screenHeight());
    EXPECT_TRUE(isAt(main, place.x, place.y));
    EXPECT_EQ(main.width, 640);
    EXPECT_EQ(main.height, 400);
    EXPECT_TRUE(isAt(button, main.x, main.y + 400)) << "the button window hangs exactly below";
    EXPECT_EQ(button.width, 640);
    EXPECT_EQ(button.height, 400);

    // The button window's close request ends the whole program, not just that window.
    ASSERT_TRUE(x->requestClose(buttonWindow));
    EXPECT_TRUE(endsCleanly(client));

    const auto lines = client.stdoutLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "view size: 640 x 400"), 2);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto escapes = std::count(lines[i].begin(), lines[i].end(), '\x1b');
        EXPECT_EQ(escapes, i == 1 || i == 2 ? 2 : 0) << "line " << i << ": " << lines[i];
    }
}

TEST_F(ClientFrameOnShortScreen, KeepsTheMainWindowOnScreenAndEndsOnMainWindowClose) {
    ClientProcess& client = launch();
    ASSERT_TRUE(waitForWindows());
    EXPECT_TRUE(isAt(x->geometry(mainWindow), (1024 - 640) / 2, 0)) << "top clamped to the screen";
    EXPECT_TRUE(isAt(x->geometry(buttonWindow), (1024 - 640) / 2, 400));

    ASSERT_TRUE(x->requestClose(mainWindow));
    EXPECT_TRUE(endsCleanly(client));
}

TEST_F(ClientFrame, DrawsTheFadedHeaderTheFrameAndTheGreenPingOnBlack) {
    ClientProcess& client = launch();
    ASSERT_TRUE(waitForWindows());

    // With no realtime server the header eases from black to red (255, 0, 0) within about 117
    // frames; the bar is a gradient to black at its right end. The frame covers columns 0 and 1, so
    // column x shows the left colour times (640 - x - 0.5) / 640.
    const auto headerRed = [](int column) { return 255.0 * (640 - column - 0.5) / 640; };
    const auto settled = [&](const Screenshot& shot) {
        const Rgb p = shot.at(2, 25);
        return p.g == 0 && p.b == 0 && std::abs(p.r - headerRed(2)) <= 1.0;
    };
    std::this_thread::sleep_for(2s);
    Screenshot main = x->capture(mainWindow);
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         !settled(main) && std::chrono::steady_clock::now() < deadline;) {
        // A loaded machine may have drawn fewer frames in two seconds.
        std::this_thread::sleep_for(250ms);
        main = x->capture(mainWindow);
    }
    ASSERT_FALSE(main.empty());
    for (const auto& [px, py] :
         std::vector<std::pair<int, int>>{{2, 25}, {3, 10}, {4, 47}, {320, 47}, {637, 25}}) {
        const Rgb p = main.at(px, py);
        EXPECT_NEAR(p.r, headerRed(px), 1.0) << "header at (" << px << ", " << py << ") " << toString(p);
        EXPECT_EQ(p.g + p.b, 0) << "header at (" << px << ", " << py << ") " << toString(p);
    }

    const Rgb white{255, 255, 255};
    for (const auto& [px, py] : std::vector<std::pair<int, int>>{{0, 0},
                                                                 {1, 1},
                                                                 {320, 0},
                                                                 {639, 0},
                                                                 {639, 200},
                                                                 {639, 399},
                                                                 {320, 399},
                                                                 {0, 399},
                                                                 {0, 200},
                                                                 {638, 398}})
        EXPECT_EQ(main.at(px, py), white)
            << "frame at (" << px << ", " << py << ") " << toString(main.at(px, py));
    EXPECT_EQ(main.at(600, 250), (Rgb{0, 0, 0})) << "body background";
    const auto isOrange = [](const Rgb& p) { return p.r > 200 && p.g > 130 && p.g < 220 && p.b < 60; };
    EXPECT_GT(countPixels(main, 200, 318, 440, 360, isOrange), 20) << "the orange elapsed time";

    // The button window shows nothing but the green ping line at (8, 8) on black.
    const Screenshot button = x->capture(buttonWindow);
    ASSERT_FALSE(button.empty());
    const auto isGreen = [](const Rgb& p) { return p.g > 128 && p.r < 64 && p.b < 64; };
    EXPECT_GT(countPixels(button, 8, 8, 120, 30, isGreen), 20) << "the ping text";
    int stray = 0;
    for (int y = 0; y < button.height; ++y)
        for (int px = 0; px < button.width; ++px)
            if ((px < 6 || px >= 120 || y < 6 || y >= 30) && button.at(px, y) != Rgb{0, 0, 0})
                ++stray;
    EXPECT_EQ(stray, 0) << "pixels other than black outside the ping line";
    if (HasFailure()) {
        main.savePpm("frame-main.ppm");
        button.savePpm("frame-button.ppm");
    }

    ASSERT_TRUE(x->requestClose(mainWindow));
    EXPECT_TRUE(endsCleanly(client));
}

TEST_F(ClientFrame, DragsTheMainWindowByItsHeaderBandOnly) {
    ClientProcess& client = launch();
    ASSERT_TRUE(waitForWindows());
    const WindowGeometry start = x->geometry(mainWindow);
    const WindowGeometry buttonStart = x->geometry(buttonWindow);
    ASSERT_TRUE(start.valid && buttonStart.valid);

    // Left press on the band's last row (y 49), then horizontal motion, so the press is inside the
    // band whichever frame samples it; then a vertical step: the window follows the pointer.
    x->movePointer(start.x + 320, start.y + 49);
    std::this_thread::sleep_for(settle);
    x->pressButton(1);
    std::this_thread::sleep_for(settle);
    x->movePointer(start.x + 380, start.y + 49);
    EXPECT_TRUE(waitForPosition(*x, mainWindow, start.x + 60, start.y, 5s))
        << "no drag: " << isAt(x->geometry(mainWindow), start.x + 60, start.y).message();
    std::this_thread::sleep_for(settle);
    x->movePointer(start.x + 380, start.y + 79);
    EXPECT_TRUE(waitForPosition(*x, mainWindow, start.x + 60, start.y + 30, 5s))
        << isAt(x->geometry(mainWindow), start.x + 60, start.y + 30).message();
    std::this_thread::sleep_for(settle);
    x->releaseButton(1);
    std::this_thread::sleep_for(settle);
    EXPECT_TRUE(isAt(x->geometry(buttonWindow), buttonStart.x, buttonStart.y)) << "the button window stays";

    // The release ended the drag.
    const WindowGeometry dropped = x->geometry(mainWindow);
    x->movePointer(dropped.x + 200, dropped.y + 150);
    std::this_thread::sleep_for(settle);
    EXPECT_TRUE(isAt(x->geometry(mainWindow), dropped.x, dropped.y)) << "moved after the release";

    // A Left press on the first row below the band (y 50), and a Right press inside the band,
    // start no drag.
    const auto pressAndMove = [&](unsigned int button, int localY) {
        x->movePointer(dropped.x + 320, dropped.y + localY);
        std::this_thread::sleep_for(settle);
        x->pressButton(button);
        std::this_thread::sleep_for(settle);
        x->movePointer(dropped.x + 380, dropped.y + localY + 20);
        std::this_thread::sleep_for(2 * settle);
        const WindowGeometry after = x->geometry(mainWindow);
        x->releaseButton(button);
        std::this_thread::sleep_for(settle);
        return after;
    };
    EXPECT_TRUE(isAt(pressAndMove(1, 50), dropped.x, dropped.y)) << "left press at y 50";
    EXPECT_TRUE(isAt(pressAndMove(3, 10), dropped.x, dropped.y)) << "right press in the band";
    EXPECT_TRUE(isAt(x->geometry(buttonWindow), buttonStart.x, buttonStart.y));

    ASSERT_TRUE(x->requestClose(mainWindow));
    EXPECT_TRUE(endsCleanly(client));
}

TEST_F(ClientFrame, ClosesOnTheReleaseOfEscapeNotItsPress) {
    ClientProcess& client = launch();
    ASSERT_TRUE(waitForWindows());

    ASSERT_TRUE(x->pressKey(mainWindow, "a"));
    ASSERT_TRUE(x->releaseKey(mainWindow, "a"));
    ASSERT_TRUE(x->pressKey(mainWindow, "Escape"));
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(client.running()) << "ended on another key or on the press of Escape";
    EXPECT_NE(x->windowByTitle("Brannoc"), 0u);

    ASSERT_TRUE(x->releaseKey(mainWindow, "Escape"));
    EXPECT_TRUE(endsCleanly(client));
}

// A listener whose accept queue is full drops further SYNs, like a host that drops packets: the
// client's connect hangs for the system's whole retry time.
TEST_F(ClientFrame, EndsPromptlyWhileItsConnectHangs) {
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

    ClientProcess& client = launch();
    ASSERT_TRUE(waitForWindows());
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (hangingConnects() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    ASSERT_EQ(hangingConnects(), 2) << "the client's connect is not under way";

    const auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(x->requestClose(mainWindow));
    ASSERT_TRUE(client.waitForExit(3s)) << "still running 3 s after the request to close";
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked);
    EXPECT_TRUE(client.exitStatus().cleanZero()) << client.exitStatus().describe();
    RecordProperty("close_to_exit_ms", static_cast<int>(took.count()));
    for (int fd : {refused, queued, listener})
        close(fd);
}

TEST(ClientWithoutDisplay, SaysSoOnOneLineAndEndsWithStatusOne) {
    ClientProcess::Options options;
    options.env["DISPLAY"] = "";
    ClientProcess client(options);
    ASSERT_TRUE(client.started()) << client.spawnError();
    ASSERT_TRUE(client.waitForExit(30s));
    EXPECT_TRUE(client.exitStatus().exited) << client.exitStatus().describe();
    EXPECT_EQ(client.exitStatus().code, 1);
    EXPECT_EQ(client.stderrText(),
              "brannoc needs a display: DISPLAY is unset or its X server cannot be reached\n");
    EXPECT_EQ(client.stdoutText(), "");
}

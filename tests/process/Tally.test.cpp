// The shared tally end to end: three real clients, one signed in and two guests, each on its own
// X display, against the real realtime server and web service. A click anywhere reaches every
// window and every bell; the server going away and coming back on the same database leaves the
// tally as it was.

#include "tests/support/ClientFixture.hpp"
#include "tests/support/WavReader.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// Three clients under a software renderer and the sanitizers share two cores with another test.
constexpr auto patience = 30s;

const std::string buildDir = BRANNOC_BUILD_DIR;

struct Box {
    int x0, y0, x1, y1;
};

// "Total Deaths: N", centred at y 82 in 40-pixel type; kept clear of the avatar, which differs
// between the signed-in client and the guests.
constexpr Box totalBox{100, 89, 560, 140};
// The elapsed time since the last death, centred at y 318.
constexpr Box elapsedBox{100, 318, 540, 360};
// "Name - count" of the user list's rows, 32 pixels apart from y 142, beside the lamps.
constexpr Box rowBox(int row) {
    return {44, 144 + 32 * row, 620, 174 + 32 * row};
}

std::vector<Rgb> pixelsIn(const Screenshot& shot, const Box& box) {
    std::vector<Rgb> pixels;
    for (int y = box.y0; y < box.y1; ++y)
        for (int x = box.x0; x < box.x1; ++x)
            pixels.push_back(shot.at(x, y));
    return pixels;
}

enum class Lamp { Other, Red, Green };

// The 16 x 16 lamp at (20, row y + 9): mostly red or mostly green glass.
Lamp lampAt(const Screenshot& shot, int row) {
    int red = 0;
    int green = 0;
    for (int y = 151 + 32 * row; y < 167 + 32 * row; ++y)
        for (int x = 20; x < 36; ++x) {
            const Rgb p = shot.at(x, y);
            red += (p.r > 120 && p.g * 2 < p.r && p.b * 2 < p.r) ? 1 : 0;
            green += (p.g > 120 && p.r * 2 < p.g && p.b * 2 < p.g) ? 1 : 0;
        }
    if (red >= 40 && green == 0)
        return Lamp::Red;
    if (green >= 40 && red == 0)
        return Lamp::Green;
    return Lamp::Other;
}

template <typename Ready> bool waitUntil(Ready ready, std::chrono::milliseconds limit = patience) {
    for (const auto deadline = Clock::now() + limit; !ready();) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

std::size_t countLines(const ClientProcess& process, const std::string& text) {
    const auto lines = process.stdoutLines();
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), text));
}

// One client on an X display of its own, so that no window hides another's pixels.
struct Seat {
    std::unique_ptr<VirtualDisplay> display;
    std::unique_ptr<XSession> x;
    ClientProcess* client = nullptr;
    XWindow main = 0;
    XWindow button = 0;
    std::string wavPath;

    Screenshot shot() const { return x->capture(main); }
};

class SharedTally : public ClientFixture {
protected:
    void SetUp() override {
        ClientFixture::SetUp();
        char pattern[] = "/tmp/brannoc-tally-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        database = (dir / "tally.db").string();
        const auto users = dir / "users";
        std::ofstream(users) << "tk-e2e-31\t31\t3\twren\tWren Ash\tWren Ashby\t0\tplayers\n";
        ASSERT_EQ(chmod(users.c_str(), 0600), 0);
        web = &runServer("brannoc-web", {"--users", users.string()}, "brannoc-web: serving 1 users");
        server = &runServer("brannoc-server", {"--db", database}, "brannoc-server: listening on");
        ASSERT_FALSE(HasFailure());
    }

    void TearDown() override {
        ClientFixture::TearDown();
        seats.clear();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    // Starts a server from the build folder and waits for the log line that says it listens.
    ClientProcess& runServer(const std::string& name, std::vector<std::string> args,
                             const std::string& ready) {
        ClientProcess::Options options;
        options.program = buildDir + "/" + name;
        options.args = std::move(args);
        clients.push_back(std::make_unique<ClientProcess>(std::move(options)));
        ClientProcess& process = *clients.back();
        waitUntil(
            [&] { return process.stderrText().find(ready) != std::string::npos || !process.running(); });
        EXPECT_NE(process.stderrText().find(ready), std::string::npos) << name << " failed to start";
        return process;
    }

    // The realtime server's own account of the total, through its admin socket.
    std::string storedTotal() {
        ClientProcess::Options options;
        options.program = buildDir + "/brannoc-server";
        options.args = {"--db", database, "status"};
        ClientProcess status(std::move(options));
        EXPECT_TRUE(status.waitForExit(patience));
        for (const auto& line : status.stdoutLines())
            if (line.rfind("total: ", 0) == 0)
                return line.substr(7);
        return "none in: " + status.stdoutText() + status.stderrText();
    }

    // Starts a client capturing its sound on a display of its own; waits for its first frame.
    void seat(std::vector<std::string> args) {
        seats.push_back(std::make_unique<Seat>());
        Seat& s = *seats.back();
        s.display = std::make_unique<VirtualDisplay>(1024, 900);
        ASSERT_TRUE(s.display->ok()) << "Xvfb did not start";
        s.x = std::make_unique<XSession>(s.display->name());
        ASSERT_TRUE(s.x->ok());
        const std::string n = std::to_string(seats.size());
        s.wavPath = (dir / ("bell" + n + ".wav")).string();
        const std::string soundConfig = (dir / ("alsoft" + n + ".conf")).string();
        ASSERT_TRUE(writeWaveCaptureConfig(soundConfig, s.wavPath));
        ClientProcess::Options options;
        options.args = std::move(args);
        options.display = s.display->name();
        options.soundConfig = soundConfig;
        clients.push_back(std::make_unique<ClientProcess>(std::move(options)));
        s.client = clients.back().get();
        s.main = s.x->findWindow("Brannoc", patience);
        s.button = s.x->findWindow("Brannoc Button", patience);
        ASSERT_TRUE(s.main != 0 && s.button != 0) << "the windows did not appear";
        ASSERT_TRUE(waitUntil([&] { return s.shot().at(0, 0) == Rgb{255, 255, 255}; })) << "no frame drawn";
    }

    // A release in the middle of the seat's button window.
    static void click(Seat& s) {
        const WindowGeometry at = s.x->geometry(s.button);
        s.x->movePointer(at.x + 320, at.y + 200);
        s.x->pressButton(1);
        s.x->releaseButton(1);
    }

    // Waits until every seat shows the same pixels in box, different from what it showed in
    // before (when given); the shots are those last taken.
    bool waitForSameChangedBox(const Box& box, const std::vector<Screenshot>& before,
                               std::vector<Screenshot>& shots) {
        return waitUntil([&] {
            shots.clear();
            for (const auto& s : seats)
                shots.push_back(s->shot());
            for (std::size_t k = 0; k < shots.size(); ++k)
                if (pixelsIn(shots[k], box) != pixelsIn(shots[0], box) ||
                    (!before.empty() && pixelsIn(shots[k], box) == pixelsIn(before[k], box)))
                    return false;
            return true;
        });
    }

    // Every seat's box shows in now what it showed in then.
    void expectSame(const Box& box, const std::vector<Screenshot>& now, const std::vector<Screenshot>& then,
                    const char* what) {
        for (std::size_t k = 0; k < seats.size(); ++k)
            EXPECT_TRUE(pixelsIn(now[k], box) == pixelsIn(then[k], box)) << "seat " << k << ": " << what;
    }

    // Both rows (Guest, then wren) lit as wanted on every seat.
    bool waitForLamps(Lamp want) {
        return waitUntil([&] {
            return std::all_of(seats.begin(), seats.end(), [&](const auto& s) {
                const Screenshot shot = s->shot();
                return lampAt(shot, 0) == want && lampAt(shot, 1) == want;
            });
        });
    }

    std::filesystem::path dir;
    std::string database;
    ClientProcess* web = nullptr;
    ClientProcess* server = nullptr;
    // Destroyed after the clients (TearDown), since their displays must outlive them.
    std::vector<std::unique_ptr<Seat>> seats;
};

} // namespace

TEST_F(SharedTally, AClickReachesEveryClientAndTheTallyOutlivesAServerRestart) {
    // This process only reads sound, on a silent device; the clients are given their own.
    setenv("ALSOFT_DRIVERS", "null", 1);
    sf::SoundBuffer bell;
    ASSERT_TRUE(bell.loadFromFile(buildDir + "/assets/audio/sound/boxingbell2.wav"));
    ASSERT_NO_FATAL_FAILURE(seat({"-token", "tk-e2e-31"}));
    EXPECT_TRUE(seats[0]->client->waitForLine("Logged in as Varkel user wren (Wren Ash)", patience));
    ASSERT_NO_FATAL_FAILURE(seat({}));
    ASSERT_NO_FATAL_FAILURE(seat({}));

    // Everyone online, green, and the same total (a fresh tally: 0) in every window.
    ASSERT_TRUE(waitForLamps(Lamp::Green)) << "Guest and wren are not both green everywhere";
    std::vector<Screenshot> start;
    ASSERT_TRUE(waitForSameChangedBox(totalBox, {}, start)) << "the windows disagree on the total";
    EXPECT_EQ(storedTotal(), "0");

    // A guest's click: a new total and the guests' count everywhere, the signed-in user's count
    // left alone, and a bell in every client.
    click(*seats[1]);
    std::vector<Screenshot> afterGuest;
    EXPECT_TRUE(waitForSameChangedBox(totalBox, start, afterGuest))
        << "the new total is not shown everywhere";
    EXPECT_TRUE(waitForSameChangedBox(rowBox(0), start, afterGuest)) << "the guests' count did not change";
    expectSame(rowBox(1), afterGuest, start, "wren's count changed on a guest's click");
    EXPECT_EQ(storedTotal(), "1");
    for (const auto& s : seats) {
        PlaybackMatch match;
        EXPECT_TRUE(waitUntil([&] {
            sf::SoundBuffer capture;
            match = loadCapture(capture, s->wavPath) ? matchPlayback(bell, capture, 0.25) : PlaybackMatch{};
            return match.found;
        })) << s->wavPath
            << ": no bell";
        EXPECT_GT(match.correlation, 0.99) << s->wavPath;
    }

    // The signed-in user's click counts for that user.
    click(*seats[0]);
    std::vector<Screenshot> afterWren;
    EXPECT_TRUE(waitForSameChangedBox(totalBox, afterGuest, afterWren)) << "the second total is not shown";
    EXPECT_TRUE(waitForSameChangedBox(rowBox(1), afterGuest, afterWren)) << "wren's count did not change";
    expectSame(rowBox(0), afterWren, afterGuest, "the guests' count changed on wren's click");
    EXPECT_EQ(storedTotal(), "2");
    for (const auto& s : seats) {
        EXPECT_EQ(countLines(*s->client, "Timed out, attempting to reconnect"), 0u) << "with the server up";
        EXPECT_EQ(countLines(*s->client, "Disconnected"), 0u);
    }

    // The server stops: every client notices, every lamp turns red, and they keep trying.
    server->stop(patience);
    EXPECT_TRUE(server->exitStatus().cleanZero()) << server->exitStatus().describe();
    for (const auto& s : seats) {
        EXPECT_TRUE(s->client->waitForLine("Disconnected", patience));
        EXPECT_TRUE(s->client->waitForLine("Attempting to reconnect...", patience));
    }
    EXPECT_TRUE(waitForLamps(Lamp::Red)) << "a lamp stayed green with the server gone";

    // Back on the same database: green again, with the same total and counts as before the stop.
    server = &runServer("brannoc-server", {"--db", database}, "brannoc-server: listening on");
    EXPECT_NE(server->stderrText().find(", total 2,"), std::string::npos) << server->stderrText();
    ASSERT_TRUE(waitForLamps(Lamp::Green)) << "the clients did not come back";
    std::vector<Screenshot> back;
    std::vector<std::size_t> timeOuts;
    for (const auto& s : seats) {
        back.push_back(s->shot());
        timeOuts.push_back(countLines(*s->client, "Timed out, attempting to reconnect"));
    }
    expectSame(totalBox, back, afterWren, "the total changed over the restart");
    expectSame(rowBox(0), back, afterWren, "the guests' count changed over the restart");
    expectSame(rowBox(1), back, afterWren, "wren's count changed over the restart");

    // Clicks count again on the new connections, and no client times out on a healthy one: the
    // elapsed time, restarted by the click, ticks over three times (more than a ping interval).
    click(*seats[2]);
    std::vector<Screenshot> afterRestart;
    EXPECT_TRUE(waitForSameChangedBox(totalBox, afterWren, afterRestart)) << "no new total after the restart";
    EXPECT_EQ(storedTotal(), "3");
    Screenshot tick = seats[0]->shot();
    for (int ticks = 0; ticks < 3; ++ticks)
        EXPECT_TRUE(waitUntil([&] {
            const Screenshot now = seats[0]->shot();
            if (pixelsIn(now, elapsedBox) == pixelsIn(tick, elapsedBox))
                return false;
            tick = now;
            return true;
        })) << "the elapsed time stopped";
    for (std::size_t k = 0; k < seats.size(); ++k)
        EXPECT_EQ(countLines(*seats[k]->client, "Timed out, attempting to reconnect"), timeOuts[k])
            << "seat " << k << " timed out with the server up";

    if (HasFailure())
        for (std::size_t k = 0; k < seats.size(); ++k)
            seats[k]->shot().savePpm("tally-seat" + std::to_string(k) + ".ppm");
}

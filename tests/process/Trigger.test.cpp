// Counting without the button window, end to end against the real tally server: the hotkey of a
// real client under Xvfb while another X client's window has the focus, and brannoc-click.

#include "tests/support/Harness.hpp"

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>

namespace {

using Said = std::pair<int, std::string>; // exit status, standard error
using Lines = std::vector<std::string>;

// The lines of a text that hold a part.
Lines linesWith(const std::string& text, const std::string& part) {
    Lines found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.find(part) != std::string::npos)
            found.push_back(line);
    return found;
}

class Triggers : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(mkdtemp(dir.data()), nullptr); // mode 0700, as a runtime folder must be
        server = std::make_unique<Process>(
            std::vector<std::string>{buildDir + "/brannoc-server", "--db", dir + "/tally.db"});
        ASSERT_TRUE(waitUntil([&] { return server->err().find("listening on") != std::string::npos; }));
    }
    ~Triggers() override { std::filesystem::remove_all(dir); }
    // The client's settings and socket in the test's own folder, whatever the user running it has.
    std::vector<std::string> env(std::vector<std::string> more = {}) const {
        more.insert(more.end(), {"XDG_RUNTIME_DIR=" + dir, "XDG_CONFIG_HOME=" + dir + "/config"});
        return more;
    }
    bool connected(std::size_t clients) const {
        return waitUntil([&] { return linesWith(server->err(), ": whoami (").size() == clients; });
    }
    bool total(int n) const {
        return waitUntil(
            [&] { return server->err().find("total " + std::to_string(n) + "\n") != std::string::npos; });
    }
    // brannoc-click's status and error stream; took is how long it ran.
    Said brannocClick() {
        const auto start = Clock::now();
        Process click({"env", "XDG_RUNTIME_DIR=" + dir, buildDir + "/brannoc-click"});
        click.waitExit(10s);
        took = Clock::now() - start;
        return {click.status(), click.err()};
    }
    static Lines notices(const Process& p) { return linesWith(p.err(), "brannoc: "); }

    std::string dir = "/tmp/brannoc-trigger-XXXXXX";
    std::unique_ptr<Process> server;
    Clock::duration took{};
};

} // namespace

TEST_F(Triggers, TheHotkeyFromTheSettingsFileCountsOncePerPressWhileAnotherWindowHasTheFocus) {
    std::filesystem::create_directories(dir + "/config/brannoc");
    std::ofstream(dir + "/config/brannoc/client.conf") << "# the key\nhotkey = ctrl+F10\nvolume = 3\n";
    Seat seat({}, env());
    ASSERT_TRUE(seat.ready && connected(1));
    EXPECT_EQ(notices(seat.client),
              (Lines{"brannoc: " + dir + "/config/brannoc/client.conf:3: unknown setting \"volume\"",
                     "brannoc: hotkey Ctrl+F10"}));
    Process logo({"env", "DISPLAY=" + seat.display, "xlogo"});
    std::string id;
    ASSERT_TRUE(seat.xdo("search --sync --name '^xlogo$'", &id) &&
                seat.xdo("windowfocus --sync " + id.substr(0, id.find('\n'))));

    // A bell that rings again starts over: the nth is heard out (1.5 s, 88200 bytes a second in the
    // capture) from when it is heard at all, which a loaded client may reach long after the press.
    const auto rungOut = [&](int n) {
        std::uintmax_t from = 0;
        return waitUntil([&] { return bells(seat.sound) > n - 0.5; }) &&
               (from = std::filesystem::file_size(seat.sound),
                waitUntil([&] { return std::filesystem::file_size(seat.sound) > from + 88200 * 16 / 10; }));
    };
    // A press; the key held past its auto-repeat; F10 alone and a press again: three deaths.
    ASSERT_TRUE(seat.xdo("key ctrl+F10") && total(1) && rungOut(1));
    ASSERT_TRUE(seat.xdo("keydown ctrl+F10 sleep 1.5 keyup ctrl+F10") && total(2) && rungOut(2));
    ASSERT_TRUE(seat.xdo("key F10 sleep 0.2 key ctrl+F10") && total(3) && rungOut(3));
    EXPECT_EQ(server->err().find("total 4\n"), std::string::npos) << "the held key counted its repeats";

    seat.requestClose(seat.main);
    ASSERT_TRUE(seat.client.waitExit());
    EXPECT_EQ(seat.client.status(), 0);
    EXPECT_NEAR(bells(seat.sound), 3.0, 0.3);
}

TEST_F(Triggers, AKeyHeldElsewhereOrUnknownIsOneLineAndBrannocClickCountsOnceThroughOneClient) {
    EXPECT_EQ(brannocClick(), Said(1, "brannoc: brannoc is not running\n"));

    // The first client finds its key held by another X client and takes the socket; the second,
    // whose key X does not know, waits for the lock. Both run on.
    Display* holder = nullptr;
    Seat first({}, env({"BRANNOC_HOTKEY=Ctrl+F10"}), [&](const std::string& display) {
        holder = XOpenDisplay(display.c_str());
        XGrabKey(holder, XKeysymToKeycode(holder, XK_F10), ControlMask, DefaultRootWindow(holder), False,
                 GrabModeAsync, GrabModeAsync);
        XSync(holder, False);
    });
    ASSERT_TRUE(first.ready &&
                waitUntil([&] { return std::filesystem::exists(dir + "/brannoc/click.sock"); }));
    Seat second({}, env({"BRANNOC_HOTKEY=Ctrl+Nonesuch"}));
    ASSERT_TRUE(second.ready && connected(2));
    EXPECT_EQ(notices(first.client),
              Lines{"brannoc: hotkey Ctrl+F10 is held by another program, or another brannoc; no hotkey"});
    EXPECT_EQ(notices(second.client),
              Lines{"brannoc: hotkey: X knows no key named \"Nonesuch\" (in \"Ctrl+Nonesuch\"); no hotkey"});

    EXPECT_EQ(brannocClick(), Said(0, ""));
    ASSERT_TRUE(total(1));
    // Had the second client counted the same request too, the click would make 3.
    ASSERT_TRUE(first.xdo("mousemove 512 650 click 1") && total(2));
    EXPECT_EQ(server->err().find("total 3\n"), std::string::npos);

    // A client that cannot answer is given up after a second; once it is gone for good (its socket
    // left behind), the other takes over.
    kill(first.client.pid, SIGSTOP);
    EXPECT_EQ(brannocClick(), Said(1, "brannoc: brannoc did not answer\n"));
    EXPECT_GE(took, 1s); // its answer's whole second; a wait with no end would fail on its status
    kill(first.client.pid, SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return brannocClick().first == 0; }))
        << "the second client did not take over";
    ASSERT_TRUE(total(3));

    server->stop();
    ASSERT_TRUE(waitUntil([&] { return second.client.count("Disconnected") == 1; }));
    EXPECT_EQ(brannocClick(), Said(1, "brannoc: brannoc is not connected to the tally server\n"));
    EXPECT_EQ(server->err().find("total 4\n"), std::string::npos);
    XCloseDisplay(holder);
}

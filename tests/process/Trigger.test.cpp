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

struct Click {
    Said said;
    Clock::duration took;
};

class Triggers : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(mkdtemp(dir.data()), nullptr); // mode 0700, as a runtime folder must be
        startServer();
    }
    ~Triggers() override { std::filesystem::remove_all(dir); }

    void startServer() {
        server = std::make_unique<Process>(
            std::vector<std::string>{buildDir + "/brannoc-server", "--db", dir + "/tally.db"});
        ASSERT_TRUE(waitUntil([&] { return server->err().find("listening on") != std::string::npos; }));
    }
    // The client's settings and socket in the test's own folder, whatever the user running it has.
    std::vector<std::string> env(std::vector<std::string> more = {}) const {
        more.insert(more.end(), {"XDG_RUNTIME_DIR=" + dir, "XDG_CONFIG_HOME=" + dir + "/config"});
        return more;
    }
    bool connected(long clients) const {
        return waitUntil([&] {
            const std::string log = server->err();
            long count = 0;
            for (std::size_t at = 0; (at = log.find(": whoami (", at)) != std::string::npos; ++at)
                ++count;
            return count == clients;
        });
    }
    bool total(int n) const {
        return waitUntil(
            [&] { return server->err().find("total " + std::to_string(n) + "\n") != std::string::npos; });
    }
    Click brannocClick() const {
        const auto start = Clock::now();
        Process click({"env", "XDG_RUNTIME_DIR=" + dir, buildDir + "/brannoc-click"});
        click.waitExit(5s);
        return {{click.status(), click.err()}, Clock::now() - start};
    }
    static std::vector<std::string> notices(const Process& p) {
        std::vector<std::string> found;
        std::istringstream err(p.err());
        for (std::string line; std::getline(err, line);)
            if (line.rfind("brannoc: ", 0) == 0)
                found.push_back(line);
        return found;
    }

    std::string dir = "/tmp/brannoc-trigger-XXXXXX";
    std::unique_ptr<Process> server;
};

} // namespace

TEST_F(Triggers, TheHotkeyFromTheSettingsFileCountsOncePerPressWhileAnotherWindowHasTheFocus) {
    std::filesystem::create_directories(dir + "/config/brannoc");
    std::ofstream(dir + "/config/brannoc/client.conf") << "# the key\nhotkey = ctrl+F10\nvolume = 3\n";
    Seat seat({}, env());
    ASSERT_TRUE(seat.ready && connected(1));
    EXPECT_EQ(notices(seat.client),
              (std::vector<std::string>{"brannoc: " + dir +
                                            "/config/brannoc/client.conf:3: unknown setting \"volume\"",
                                        "brannoc: hotkey Ctrl+F10"}));
    Process logo({"env", "DISPLAY=" + seat.display, "xlogo"});
    std::string id;
    ASSERT_TRUE(seat.xdo("search --sync --name '^xlogo$'", &id) &&
                seat.xdo("windowfocus --sync " + id.substr(0, id.find('\n'))));

    // A bell that rings again starts over: each is heard out (1.5 s, 88200 bytes a second in the
    // capture) before the next death.
    const auto rungOut = [&] {
        const auto from = std::filesystem::file_size(seat.sound);
        return waitUntil([&] { return std::filesystem::file_size(seat.sound) > from + 88200 * 16 / 10; });
    };
    // A press; the key held past its auto-repeat; F10 alone and a press again: three deaths.
    ASSERT_TRUE(seat.xdo("key ctrl+F10") && total(1) && rungOut());
    ASSERT_TRUE(seat.xdo("keydown ctrl+F10 sleep 1.5 keyup ctrl+F10") && total(2) && rungOut());
    ASSERT_TRUE(seat.xdo("key F10 sleep 0.2 key ctrl+F10") && total(3) && rungOut());
    EXPECT_EQ(server->err().find("total 4\n"), std::string::npos) << "the held key counted its repeats";

    seat.requestClose(seat.main);
    ASSERT_TRUE(seat.client.waitExit());
    EXPECT_EQ(seat.client.status(), 0);
    EXPECT_NEAR(bells(seat.sound), 3.0, 0.3);
}

TEST_F(Triggers, AHotkeyHeldByAnotherClientOrUnknownToXIsOneLineAndTheButtonStillCounts) {
    Display* holder = nullptr;
    Seat held({}, env({"BRANNOC_HOTKEY=Ctrl+F10"}), [&](const std::string& display) {
        holder = XOpenDisplay(display.c_str());
        XGrabKey(holder, XKeysymToKeycode(holder, XK_F10), ControlMask, DefaultRootWindow(holder), False,
                 GrabModeAsync, GrabModeAsync);
        XSync(holder, False);
    });
    Seat unknown({}, env({"BRANNOC_HOTKEY=Ctrl+Nonesuch"}));
    ASSERT_TRUE(held.ready && unknown.ready && connected(2));
    EXPECT_EQ(notices(held.client),
              std::vector<std::string>{
                  "brannoc: hotkey Ctrl+F10 is held by another program, or another brannoc; no hotkey"});
    EXPECT_EQ(notices(unknown.client),
              std::vector<std::string>{
                  "brannoc: hotkey: X knows no key named \"Nonesuch\" (in \"Ctrl+Nonesuch\"); no hotkey"});
    ASSERT_TRUE(held.xdo("mousemove 512 650 click 1") && total(1));
    ASSERT_TRUE(unknown.xdo("mousemove 512 650 click 1") && total(2));
    XCloseDisplay(holder);
}

TEST_F(Triggers, BrannocClickCountsOnceThroughTheOneClientThatHoldsTheSocketAndSaysWhyNot) {
    const Click none = brannocClick();
    EXPECT_EQ(none.said, Said(1, "brannoc: brannoc is not running\n"));
    EXPECT_LT(none.took, 1s);

    // The first client takes the socket; the second waits for the lock.
    Seat first({}, env());
    ASSERT_TRUE(first.ready &&
                waitUntil([&] { return std::filesystem::exists(dir + "/brannoc/click.sock"); }));
    Seat second({}, env());
    ASSERT_TRUE(second.ready && connected(2));
    const Click one = brannocClick();
    EXPECT_EQ(one.said, Said(0, ""));
    ASSERT_TRUE(total(1));
    // Had the second client counted the same request too, its click would make 3.
    ASSERT_TRUE(second.xdo("mousemove 512 650 click 1") && total(2));
    EXPECT_EQ(server->err().find("total 3\n"), std::string::npos);

    // A client that cannot answer is given up after a second; once it is gone for good (its socket
    // left behind), the other takes over.
    kill(first.client.pid, SIGSTOP);
    const Click stopped = brannocClick();
    EXPECT_EQ(stopped.said, Said(1, "brannoc: brannoc did not answer\n"));
    EXPECT_TRUE(stopped.took >= 1s && stopped.took < 2s);
    kill(first.client.pid, SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return brannocClick().said.first == 0; }))
        << "the second client did not take over";
    ASSERT_TRUE(total(3));

    server->stop();
    ASSERT_TRUE(waitUntil([&] { return second.client.count("Disconnected") == 1; }));
    const Click offline = brannocClick();
    EXPECT_EQ(offline.said, Said(1, "brannoc: brannoc is not connected to the tally server\n"));
    EXPECT_EQ(server->err().find("total 4\n"), std::string::npos);
}

// The shared tally end to end: two real clients against the real realtime server and web service in
// the test's private network; one signs in, the other's token is refused and it goes on as the guest.

#include "tests/support/Harness.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sys/stat.h>
#include <thread>

namespace {

const std::string timedOut = "Timed out, attempting to reconnect";

struct Box {
    unsigned x0, y0, x1, y1;
};
// "Total Deaths: N", clear of the avatar; the user list's rows (Guest, then wren) beside the lamps.
constexpr Box totalBox{100, 89, 560, 140}, pingBox{0, 0, 320, 40};
constexpr Box rowBox(unsigned row) {
    return {44, 144 + 32 * row, 620, 174 + 32 * row};
}

std::vector<sf::Color> pixels(const sf::Image& shot, const Box& box) {
    std::vector<sf::Color> found;
    for (unsigned y = box.y0; y < box.y1; ++y)
        for (unsigned x = box.x0; x < box.x1; ++x)
            found.push_back(shot.getPixel(x, y));
    return found;
}

// The row's 16 x 16 lamp at (20, 151 + 32 row): 'r' or 'g' when mostly red or green glass.
char lampAt(const sf::Image& shot, unsigned row) {
    int red = 0, green = 0;
    for (const sf::Color& p : pixels(shot, {20, 151 + 32 * row, 36, 167 + 32 * row})) {
        red += p.r > 120 && p.g * 2 < p.r && p.b * 2 < p.r;
        green += p.g > 120 && p.r * 2 < p.g && p.b * 2 < p.g;
    }
    return red >= 40 && green == 0 ? 'r' : green >= 40 && red == 0 ? 'g' : '?';
}

// Connections whose server end (port 34567) holds bytes the server has not read.
int unreadAtServer() {
    std::ifstream table("/proc/net/tcp");
    int count = 0;
    std::string row, local, remote, state, queues;
    for (std::getline(table, row); table >> row >> local >> remote >> state >> queues;
         std::getline(table, row))
        count += local.substr(8) == ":8707" && state == "01" && queues.substr(9) != "00000000";
    return count;
}

class SharedTally : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(mkdtemp(dir.data()), nullptr);
        std::ofstream(dir + "/users") << "tk-e2e-31\t31\t3\twren\tWren Ash\tWren Ashby\t0\tplayers\n";
        ASSERT_EQ(chmod((dir + "/users").c_str(), 0600), 0);
        web = start("brannoc-web", {"--users", dir + "/users"}, "brannoc-web: serving 1 users");
        server = start("brannoc-server", {"--db", dir + "/tally.db"}, "brannoc-server: listening on");
        for (const char* token : {"tk-e2e-31", "tk-unknown"}) {
            seats.push_back(std::make_unique<Seat>(std::vector<std::string>{"-token", token}));
            ASSERT_TRUE(seats.back()->ready) << "no windows or no frame";
        }
    }
    ~SharedTally() override { std::filesystem::remove_all(dir); }

    std::unique_ptr<Process> start(const std::string& name, std::vector<std::string> args,
                                   const std::string& ready) {
        args.insert(args.begin(), buildDir + "/" + name);
        auto process = std::make_unique<Process>(args);
        EXPECT_TRUE(waitUntil([&] { return process->err().find(ready) != std::string::npos; })) << name;
        return process;
    }

    std::vector<sf::Image> shots() {
        return {seats[0]->shot(seats[0]->main), seats[1]->shot(seats[1]->main)};
    }

    bool lamps(char want) {
        return waitUntil([&] {
            for (const sf::Image& shot : shots())
                if (lampAt(shot, 0) != want || lampAt(shot, 1) != want)
                    return false;
            return true;
        });
    }

    // Waits until both windows show the same pixels in box, other than those they showed before.
    bool changed(const Box& box, const std::vector<sf::Image>& before, std::vector<sf::Image>& now) {
        return waitUntil([&] {
            now = shots();
            return pixels(now[0], box) == pixels(now[1], box) &&
                   pixels(now[0], box) != pixels(before[0], box) &&
                   pixels(now[1], box) != pixels(before[1], box);
        });
    }

    // A press, seen by a frame before the release, of a button in the middle of the button window.
    void click(Seat& s, const std::string& button) {
        ASSERT_TRUE(s.xdo("mousemove 512 650 mousedown " + button) && s.waitFrames());
        ASSERT_TRUE(s.xdo("mouseup " + button) && s.waitFrames());
    }

    // A healthy link's time-out check has had a ping interval past its limit since `since`.
    void expectNoTimeOutSince(Clock::time_point since, const std::vector<long>& before) {
        ASSERT_TRUE(waitUntil([&] { return Clock::now() > since + 5s; }));
        for (std::size_t k = 0; k < seats.size(); ++k) {
            ASSERT_TRUE(seats[k]->waitFrames());
            EXPECT_EQ(seats[k]->client.count(timedOut), before[k]) << "seat " << k << " timed out";
        }
    }

    std::string dir = "/tmp/brannoc-tally-XXXXXX";
    std::unique_ptr<Process> web, server;
    std::vector<std::unique_ptr<Seat>> seats;
};

} // namespace

TEST_F(SharedTally, AReleaseReachesBothClientsAndTheTallyOutlivesAServerRestart) {
    Seat& wren = *seats[0];
    Seat& guest = *seats[1];
    // The sign-in line, either way, before the banners.
    ASSERT_TRUE(
        waitUntil([&] { return wren.client.count(assetBanner) + guest.client.count(assetBanner) == 2; }));
    EXPECT_EQ(wren.client.lines(3), (std::vector<std::string>{"Logged in as Varkel user wren (Wren Ash)",
                                                              coreBanner, assetBanner}));
    EXPECT_EQ(guest.client.lines(3),
              (std::vector<std::string>{"Logged in as Varkel user Guest (Guest)", coreBanner, assetBanner}));

    // Both users online in both windows, which agree on the total.
    ASSERT_TRUE(lamps('g')) << "Guest and wren are not both green in both windows";
    const auto up = Clock::now();
    const std::vector<sf::Image> before = shots();
    EXPECT_EQ(pixels(before[0], totalBox), pixels(before[1], totalBox));
    // The guest's header eases to blue (0, 96, 204), darkening towards its right end.
    EXPECT_TRUE(waitUntil([&] {
        const sf::Color p = guest.shot(guest.main).getPixel(2, 25);
        return p.r <= 1 && std::abs(p.g - 96) <= 2 && std::abs(p.b - 204) <= 2;
    })) << "the guest's header is not blue";

    // A pong the server holds back for a second shows in a ping line.
    const auto pings = [&] {
        return std::vector{pixels(wren.shot(wren.button), pingBox),
                           pixels(guest.shot(guest.button), pingBox)};
    };
    const auto quick = pings();
    kill(server->pid, SIGSTOP);
    EXPECT_TRUE(waitUntil([] { return unreadAtServer() > 0; })) << "no ping";
    std::this_thread::sleep_for(1s); // the hold itself
    kill(server->pid, SIGCONT);
    EXPECT_TRUE(waitUntil([&] { return pings() != quick; }))
        << "no ping line shows the round trip of a second";

    // wren's release: the new total and wren's count in both windows, the guest's count alone.
    ASSERT_NO_FATAL_FAILURE(click(wren, "1"));
    std::vector<sf::Image> one;
    EXPECT_TRUE(changed(totalBox, before, one)) << "the new total is not shown in both";
    EXPECT_TRUE(changed(rowBox(1), before, one)) << "wren's count did not change in both";
    for (std::size_t k = 0; k < 2; ++k)
        EXPECT_EQ(pixels(one[k], rowBox(0)), pixels(before[k], rowBox(0))) << "the guest's count changed";
    EXPECT_NE(server->err().find("wren: increment, total 1"), std::string::npos);
    expectNoTimeOutSince(up, {0, 0});

    // The server stops: both clients see it, every lamp turns red, the guest's release goes nowhere.
    server->stop();
    EXPECT_TRUE(waitUntil(
        [&] { return wren.client.count("Disconnected") + guest.client.count("Disconnected") == 2; }));
    EXPECT_TRUE(lamps('r')) << "a lamp stayed green with the server gone";
    ASSERT_NO_FATAL_FAILURE(click(guest, "2"));

    // Back on the same database: green again, with the total and the counts as they were.
    server = start("brannoc-server", {"--db", dir + "/tally.db"}, "brannoc-server: listening on");
    ASSERT_TRUE(lamps('g')) << "the clients did not come back";
    const auto back = Clock::now();
    const std::vector<long> timeOuts{wren.client.count(timedOut), guest.client.count(timedOut)};
    for (std::size_t k = 0; k < 2; ++k)
        for (const Box& box : {totalBox, rowBox(0), rowBox(1)})
            EXPECT_EQ(pixels(shots()[k], box), pixels(one[k], box)) << "seat " << k << " after the restart";

    // The guest's release now counts, once: the one made while the server was away was dropped.
    ASSERT_NO_FATAL_FAILURE(click(guest, "3"));
    std::vector<sf::Image> two;
    EXPECT_TRUE(changed(totalBox, one, two)) << "no new total after the restart";
    EXPECT_TRUE(changed(rowBox(0), one, two)) << "the guest's count did not change in both";
    for (std::size_t k = 0; k < 2; ++k)
        EXPECT_EQ(pixels(two[k], rowBox(1)), pixels(one[k], rowBox(1))) << "wren's count changed";
    expectNoTimeOutSince(back, timeOuts);
    // By now a click kept from the server's absence, or one sent on a press, would have been counted.
    EXPECT_NE(server->err().find("Guest: increment, total 2"), std::string::npos) << server->err();
    EXPECT_EQ(server->err().find("increment, total 3"), std::string::npos) << server->err();

    // A close request to either window ends the client; each rang once per raised total, neither
    // for the totals it met on connecting.
    wren.requestClose(wren.button);
    guest.requestClose(guest.main);
    for (const auto& s : seats) {
        ASSERT_TRUE(s->client.waitExit());
        EXPECT_EQ(s->client.status(), 0);
        EXPECT_NEAR(bells(s->sound), 2.0, 0.3) << s->sound;
    }
}

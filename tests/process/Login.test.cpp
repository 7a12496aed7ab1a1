// The real client's sign-in against a scripted web service on 127.0.0.1:80: which command lines
// log in, what goes to the service, and the first line the client writes. No realtime server
// listens, so the client also tries port 34567 and shows "Failed to connect!"; that and the status
// display's avatar and rank requests are expected traffic beside the login.

#include "tests/support/ClientFixture.hpp"
#include "tests/support/FakeWebService.hpp"

using namespace std::chrono_literals;

namespace {

const std::string loginTarget = "/./php/endpoints/stest.php";
const std::string coreBanner = "\x1b[36;1m[ Caldre : Initializing ]\x1b[0m";
const std::string assetBanner = "\x1b[35;1m[ Ossivar : Initializing ]\x1b[0m";

// Start-up under the sanitizers and a software renderer on a loaded machine is slow.
constexpr auto startTime = 60s;

class ClientSignIn : public ClientFixture {
protected:
    void SetUp() override {
        ClientFixture::SetUp();
        ASSERT_TRUE(service.start()) << "cannot bind 127.0.0.1:80";
        // A good reply, so that a run which wrongly logs in shows it in its first line.
        service.setReply(loginTarget,
                         {200, "id=42\nuser=varkel_b\ndisp=Bren Ash\nrank=5\n", "text/plain", 0ms});
        service.setReply("/./php/endpoints/rankdata.php", {200, "#1E90FF", "text/plain", 0ms});
    }
    void TearDown() override {
        ClientFixture::TearDown();
        service.stop();
    }

    std::vector<FakeWebService::Request> loginRequests() const {
        std::vector<FakeWebService::Request> found;
        for (const auto& request : service.requests())
            if (request.path == loginTarget)
                found.push_back(request);
        return found;
    }

    // Runs the client with args until it has written its first three lines, then stops it.
    std::vector<std::string> firstLinesOf(std::vector<std::string> args) {
        ClientProcess& client = launch(std::move(args));
        EXPECT_TRUE(client.waitForLines(3, startTime)) << "start-up lines missing";
        auto lines = client.stdoutLines();
        lines.resize(3);
        client.stop();
        return lines;
    }

    FakeWebService service;
};

} // namespace

TEST_F(ClientSignIn, LogsInWithTheTokenAndNamesTheUserBeforeTheBanners) {
    ClientProcess& client = launch({"-token", "tk-9f3"});
    ASSERT_TRUE(client.waitForLines(1, startTime)) << "no sign-in line";
    // The line is written only once the login and its avatar download are over.
    const auto beforeLine = service.requests();
    ASSERT_GE(beforeLine.size(), 2u);
    EXPECT_EQ(beforeLine[0].method, "POST");
    EXPECT_EQ(beforeLine[0].path, loginTarget);
    EXPECT_EQ(beforeLine[0].body, "token=tk-9f3");
    EXPECT_EQ(beforeLine[1].method, "GET");
    EXPECT_EQ(beforeLine[1].path, "/img/avatars/42");

    ASSERT_TRUE(client.waitForLines(3, startTime));
    auto lines = client.stdoutLines();
    lines.resize(3);
    EXPECT_EQ(lines, (std::vector<std::string>{"Logged in as Varkel user varkel_b (Bren Ash)", coreBanner,
                                               assetBanner}));
    ASSERT_TRUE(waitForWindows());
    EXPECT_EQ(loginRequests().size(), 1u) << "the login runs once, at start-up";

    // An orderly end, so that the leak checker of a sanitizer build sees the signed-in user's record.
    ASSERT_TRUE(x->requestClose(mainWindow));
    ASSERT_TRUE(client.waitForExit(15s)) << "still running after the close request";
    EXPECT_TRUE(client.exitStatus().cleanZero()) << client.exitStatus().describe();
}

TEST_F(ClientSignIn, IgnoresArgumentsAfterTheToken) {
    EXPECT_EQ(firstLinesOf({"-token", "tk-7", "extra", "-token"})[0],
              "Logged in as Varkel user varkel_b (Bren Ash)");
    const auto logins = loginRequests();
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_EQ(logins[0].body, "token=tk-7");
}

TEST_F(ClientSignIn, QuotesTheServiceNamesWithoutTheirControlCharacters) {
    service.setReply(loginTarget, {200,
                                   "id=42\nuser=varkel\x1b[2J\ndisp=Bren \x1b]0;owned\x07"
                                   "Ash\nrank=5\n",
                                   "text/plain", 0ms});
    EXPECT_EQ(firstLinesOf({"-token", "tk-5"})[0],
              "Logged in as Varkel user varkel?[2J (Bren ?]0;owned?Ash)");
}

TEST_F(ClientSignIn, StaysAGuestWithoutTheExactSwitchAndAToken) {
    const std::vector<std::vector<std::string>> commandLines = {
        {"-TOKEN", "tk-1"}, {"--token", "tk-2"}, {"-tokens", "tk-3"}, {"-token"}, {"tk-4", "-token"}};
    for (const auto& args : commandLines) {
        std::string shown;
        for (const auto& arg : args)
            shown += " " + arg;
        EXPECT_EQ(firstLinesOf(args), (std::vector<std::string>{"Local user", coreBanner, assetBanner}))
            << "brannoc" << shown;
        EXPECT_TRUE(loginRequests().empty()) << "login request for brannoc" << shown;
    }
}

TEST_F(ClientSignIn, ARejectedOrFailedLoginLeavesTheGuestAndGoesOn) {
    const std::vector<std::string> guest{"Logged in as Varkel user Guest (Guest)", coreBanner, assetBanner};

    service.setReply(loginTarget, {200, "denied", "text/plain", 0ms});
    EXPECT_EQ(firstLinesOf({"-token", "bad-1"}), guest) << "one-line reply";
    service.setReply(loginTarget, {403, "<html><body>403 Forbidden</body></html>", "text/html", 0ms});
    EXPECT_EQ(firstLinesOf({"-token", "bad-2"}), guest) << "one-line error page";

    const auto logins = loginRequests();
    ASSERT_EQ(logins.size(), 2u);
    EXPECT_EQ(logins[0].body, "token=bad-1");
    EXPECT_EQ(logins[1].body, "token=bad-2");

    // With nothing listening on port 80 the connection is refused: an empty reply, so a guest.
    service.stop();
    ClientProcess& client = launch({"-token", "bad-3"});
    ASSERT_TRUE(client.waitForLines(3, startTime)) << "start-up lines missing";
    auto lines = client.stdoutLines();
    lines.resize(3);
    EXPECT_EQ(lines, guest) << "service unreachable";
    ASSERT_TRUE(waitForWindows());
    EXPECT_TRUE(client.running());
}

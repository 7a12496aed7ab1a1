#include "web/Login.hpp"
#include "tests/web/WebServiceTest.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string loginTarget = "/./php/endpoints/stest.php";

class LoginTest : public WebServiceTest {
protected:
    void SetUp() override {
        WebServiceTest::SetUp();
        currentUser = UserProfile{};
    }
    void TearDown() override {
        currentUser = UserProfile{};
        WebServiceTest::TearDown();
    }
};

} // namespace

TEST_F(LoginTest, GoodReplyFillsTheUserAndDownloadsTheAvatar) {
    reply(loginTarget, "id=42\nrank=3\nuser=bob\ndisp=Bobby\ngrps=a,b\n");
    reply("/img/avatars/42", makePng(3, 2), 200, "image/png");

    EXPECT_TRUE(loginWithToken("T 1&x=y"));
    EXPECT_EQ(currentUser.token, "T 1&x=y");
    EXPECT_EQ(currentUser.id, 42);
    EXPECT_EQ(currentUser.rank, 3);
    EXPECT_EQ(currentUser.userName, "bob");
    EXPECT_EQ(currentUser.displayName, "Bobby");
    EXPECT_EQ(currentUser.groups, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(currentUser.avatar.getSize(), sf::Vector2u(3, 2));

    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), 2u);
    expectFormPost(requests[0], loginTarget, "token=T 1&x=y");
    EXPECT_EQ(requests[1].method, "GET");
    EXPECT_EQ(requests[1].path, "/img/avatars/42");
}

TEST_F(LoginTest, RejectedTokenLeavesTheGuestAndFetchesNoAvatar) {
    currentUser.token = "earlier";
    reply(loginTarget, "invalid token", 403);

    EXPECT_FALSE(loginWithToken("bad"));
    EXPECT_EQ(currentUser.token, "");
    EXPECT_EQ(currentUser.id, -1);
    EXPECT_EQ(currentUser.userName, "Guest");
    EXPECT_EQ(currentUser.displayName, "Guest");
    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), 1u);
    expectFormPost(requests[0], loginTarget, "token=bad");
}

TEST_F(LoginTest, AnyTwoLinesLogInEvenWithFailedIntegers) {
    // An error page of several lines counts as a login that sets nothing; the guest id then asks
    // for the default image, twice when that is missing too.
    reply(loginTarget, "<html>\n<body>oops</body>\n</html>\n", 500);
    EXPECT_TRUE(loginWithToken("t"));
    EXPECT_EQ(currentUser.token, "t");
    EXPECT_EQ(currentUser.userName, "Guest");
    EXPECT_EQ(currentUser.avatar.getSize(), sf::Vector2u(0, 0));
    auto requests = service.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].path, "/img/avatars/default.jpg");
    EXPECT_EQ(requests[2].path, "/img/avatars/default.jpg");

    currentUser = UserProfile{};
    reply(loginTarget, "id=99999999999\nrank=x\nuser=bob\n");
    EXPECT_TRUE(loginWithToken("u"));
    EXPECT_EQ(currentUser.id, -1);
    EXPECT_EQ(currentUser.rank, 0);
    EXPECT_EQ(currentUser.userName, "bob");
}

TEST_F(LoginTest, LargeReplyWithNulBytesIsReadWhole) {
    const std::string body =
        std::string("id=7\nuser=a\0b\n", 14) + std::string(3 * 1024 * 1024, '\0') + "\ndisp=z";
    reply(loginTarget, body);
    EXPECT_TRUE(loginWithToken("t"));
    EXPECT_EQ(currentUser.id, 7);
    EXPECT_EQ(currentUser.userName, std::string("a\0b", 3));
    EXPECT_EQ(currentUser.displayName, "z");
    const auto requests = service.requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[1].path, "/img/avatars/7");
}

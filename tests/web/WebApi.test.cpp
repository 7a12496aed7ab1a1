#include "web/WebApi.hpp"
#include "tests/web/WebServiceTest.hpp"
#include "web/Avatar.hpp"
#include "web/Login.hpp"
#include "web/RankColour.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string rankTarget = "/./php/endpoints/rankdata.php";

std::string rgb(const sf::Color& c) {
    return std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b);
}

} // namespace

TEST_F(WebServiceTest, EndpointCallPostsTheTokenThenTheParametersUnencoded) {
    reply(rankTarget, "reply body", 500);

    WebApi plain("rankdata");
    EXPECT_EQ(plain.send("tok en"), "reply body") << "the status is not looked at";

    WebApi withParams("rankdata");
    withParams.setParams({{"first", "1"}});
    withParams.setParams({{"name", "a b&c=d"}, {"x", ""}});
    EXPECT_EQ(withParams.send(""), "reply body");

    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), 2u);
    expectFormPost(requests[0], rankTarget, "token=tok en");
    // A second setParams starts again; the token always leads the body.
    expectFormPost(requests[1], rankTarget, "token=&name=a b&c=d&x=");
}

TEST_F(WebServiceTest, ReplyBodyKeepsNulBytesAndLargeSizes) {
    std::string big(3 * 1024 * 1024, '\0');
    big[17] = 'x';
    big.back() = 'y';
    reply("/./php/endpoints/big.php", big);
    EXPECT_EQ(WebApi("big").send("t"), big);
}

TEST_F(WebServiceTest, RankColourPostsRankNameAndIndex) {
    reply(rankTarget, "#1E90FF");
    EXPECT_EQ(rgb(fetchRankColour(5, "bob")), "30,144,255");
    reply(rankTarget, "F0A", 500);
    EXPECT_EQ(rgb(fetchRankColour(4294967295u, "a b&c")), "255,0,170");
    reply(rankTarget, "");
    EXPECT_EQ(rgb(fetchRankColour(0, "")), "170,0,0");

    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), 3u);
    expectFormPost(requests[0], rankTarget, "token=&rank=5&name=bob&index=3");
    expectFormPost(requests[1], rankTarget, "token=&rank=4294967295&name=a b&c&index=3");
    expectFormPost(requests[2], rankTarget, "token=&rank=0&name=&index=3");
}

// No server listens in this test's private network: every connection is refused at once.
TEST(UnreachableWebService, EveryCallFallsBack) {
    currentUser = UserProfile{};
    currentUser.token = "earlier";
    EXPECT_EQ(WebApi("stest").send("t"), "");
    EXPECT_FALSE(loginWithToken("t"));
    EXPECT_EQ(currentUser.token, "");
    EXPECT_EQ(currentUser.userName, "Guest");
    EXPECT_EQ(currentUser.displayName, "Guest");
    EXPECT_EQ(rgb(fetchRankColour(5, "bob")), "170,0,0");
    EXPECT_EQ(fetchAvatar(42).getSize(), sf::Vector2u(0, 0));
    currentUser = UserProfile{};
}

#include "tests/support/FakeWebService.hpp"
#include "web/Avatar.hpp"
#include "web/Login.hpp"
#include "web/RankColour.hpp"
#include "web/WebApi.hpp"

#include <SFML/Graphics/Image.hpp>
#include <SFML/Graphics/Texture.hpp>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Sent = std::vector<std::string>;
const std::string login = "POST /./php/endpoints/stest.php ", rank = "POST /./php/endpoints/rankdata.php ";
const std::string fallback = "GET /img/avatars/default.jpg ";

// A fake web service on 127.0.0.1:80, the client's fixed address, for each test (targets given no
// reply get a 404 page); each test starts as the guest.
class WebService : public ::testing::Test {
protected:
    void SetUp() override {
        currentUser = UserProfile{};
        ASSERT_TRUE(service.start()) << "cannot bind 127.0.0.1:80";
    }
    void TearDown() override { service.stop(); }
    void reply(const std::string& target, std::string body, int status = 200) {
        service.setReply(target, FakeWebService::Reply{status, std::move(body), "text/plain", {}});
    }
    // The requests in the order they arrived, each as "METHOD target body".
    Sent sent() const {
        Sent result;
        for (const auto& request : service.requests())
            result.push_back(request.method + " " + request.path + " " + request.body);
        return result;
    }
    FakeWebService service;
};

// The bytes of a PNG of the given size, written by SFML and read back.
std::string makePng(unsigned width, unsigned height) {
    sf::Image image;
    image.create(width, height, sf::Color(200, 40, 90));
    const std::string path = "/tmp/brannoc-web-test-" + std::to_string(getpid()) + ".png";
    if (!image.saveToFile(path))
        return {};
    std::ifstream file(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    return bytes;
}

// The signed-in user: token, id, rank, user and display names, groups, avatar size.
std::string user() {
    std::string text = currentUser.token + "|" + std::to_string(currentUser.id) + "|" +
                       std::to_string(currentUser.rank) + "|" + currentUser.userName + "|" +
                       currentUser.displayName + "|";
    for (const std::string& group : currentUser.groups)
        text += group + ",";
    return text + "|" + std::to_string(currentUser.avatar.getSize().x) + "x" +
           std::to_string(currentUser.avatar.getSize().y);
}

} // namespace

TEST_F(WebService, EndpointCallPostsTheTokenThenTheParametersUnencodedAndKeepsTheWholeReply) {
    reply("/./php/endpoints/rankdata.php", "reply body", 500);
    EXPECT_EQ(WebApi("rankdata").send("tok en"), "reply body") << "the status is not looked at";
    WebApi withParams("rankdata");
    withParams.setParams({{"first", "1"}});
    withParams.setParams({{"name", "a b&c=d"}, {"x", ""}});
    EXPECT_EQ(withParams.send(""), "reply body");
    // A second setParams starts again; the token always leads the body.
    EXPECT_EQ(sent(), (Sent{rank + "token=tok en", rank + "token=&name=a b&c=d&x="}));

    std::string big(3 * 1024 * 1024, '\0');
    big[17] = 'x';
    big.back() = 'y';
    reply("/./php/endpoints/big.php", big);
    EXPECT_EQ(WebApi("big").send("t"), big);
}

TEST_F(WebService, RankColourPostsRankNameAndIndex) {
    reply("/./php/endpoints/rankdata.php", "#1E90FF");
    EXPECT_EQ(fetchRankColour(5, "bob"), sf::Color(30, 144, 255));
    EXPECT_EQ(fetchRankColour(4294967295u, "a b&c"), sf::Color(30, 144, 255));
    EXPECT_EQ(sent(), (Sent{rank + "token=&rank=5&name=bob&index=3",
                            rank + "token=&rank=4294967295&name=a b&c&index=3"}));
}

TEST_F(WebService, AvatarIsTheUsersImageByIdElseTheDefaultElseEmpty) {
    // Nothing decodable: an empty texture, the guest id asking for the default twice.
    EXPECT_EQ(fetchAvatar(42).getSize(), sf::Vector2u(0, 0));
    EXPECT_EQ(fetchAvatar(4294967295u).getSize(), sf::Vector2u(0, 0));
    Sent expected{"GET /img/avatars/42 ", fallback, fallback, fallback};

    reply("/img/avatars/default.jpg", makePng(5, 4));
    reply("/img/avatars/42", makePng(3, 2));
    EXPECT_EQ(fetchAvatar(42).getSize(), sf::Vector2u(3, 2));
    EXPECT_EQ(fetchAvatar(4294967295u).getSize(), sf::Vector2u(5, 4));
    expected.insert(expected.end(), {"GET /img/avatars/42 ", fallback});

    // No texture from: no reply (a 404 page), an empty body, a PNG signature then megabytes of NUL,
    // a truncated PNG, an image wider than the texture limit (asked for last, as asking before any
    // texture exists takes SFML's locks in an order TSan reports).
    const std::string png = makePng(3, 2);
    std::string junk(4 * 1024 * 1024, '\0');
    junk.replace(0, 8, png.substr(0, 8));
    const std::string bodies[] = {"", "", junk, png.substr(0, png.size() / 2), makePng(65536, 1)};
    for (std::uint32_t i = 0; i < 5; ++i) {
        const std::string target = "/img/avatars/" + std::to_string(100 + i);
        if (i > 0)
            reply(target, bodies[i]);
        EXPECT_EQ(fetchAvatar(100 + i).getSize(), sf::Vector2u(5, 4)) << target;
        expected.insert(expected.end(), {"GET " + target + " ", fallback});
    }
    EXPECT_EQ(sent(), expected);
    EXPECT_GT(65536u, sf::Texture::getMaximumSize());
}

TEST_F(WebService, GoodLoginFillsTheUserAndDownloadsTheAvatar) {
    reply("/./php/endpoints/stest.php", "id=42\nrank=3\nuser=bob\ndisp=Bobby\ngrps=a,b\n");
    reply("/img/avatars/42", makePng(3, 2));
    EXPECT_TRUE(loginWithToken("T 1&x=y"));
    EXPECT_EQ(user(), "T 1&x=y|42|3|bob|Bobby|a,b,|3x2");
    EXPECT_EQ(sent(), (Sent{login + "token=T 1&x=y", "GET /img/avatars/42 "}));
}

TEST_F(WebService, RejectedLoginClearsTheTokenSetsNothingAndFetchesNoAvatar) {
    currentUser.token = "earlier";
    reply("/./php/endpoints/stest.php", "invalid token", 403);
    EXPECT_FALSE(loginWithToken("bad"));
    EXPECT_EQ(user(), "|-1|0|Guest|Guest||0x0");
    EXPECT_EQ(sent(), Sent{login + "token=bad"});
}

TEST_F(WebService, AnyTwoLinesLogInAndOnlyTheFieldsReadAreSet) {
    // An error page of several lines counts as a login that sets nothing; the guest id then asks
    // for the default image, twice when that is missing too.
    reply("/./php/endpoints/stest.php", "<html>\n<body>oops</body>\n</html>\n", 500);
    EXPECT_TRUE(loginWithToken("t"));
    EXPECT_EQ(user(), "t|-1|0|Guest|Guest||0x0");
    EXPECT_EQ(sent(), (Sent{login + "token=t", fallback, fallback}));

    reply("/./php/endpoints/stest.php", "id=99999999999\nrank=x\nuser=bob\n");
    EXPECT_TRUE(loginWithToken("u"));
    EXPECT_EQ(user(), "u|-1|0|bob|Guest||0x0");
}

// No server listens here (this test's private network has none): every connection is refused.
TEST(UnreachableWebService, EveryCallFallsBack) {
    currentUser = UserProfile{};
    currentUser.token = "earlier";
    EXPECT_EQ(WebApi("stest").send("t"), "");
    EXPECT_FALSE(loginWithToken("t"));
    EXPECT_EQ(user(), "|-1|0|Guest|Guest||0x0");
    EXPECT_EQ(fetchRankColour(5, "bob"), sf::Color(170, 0, 0));
    EXPECT_EQ(fetchAvatar(42).getSize(), sf::Vector2u(0, 0));
}

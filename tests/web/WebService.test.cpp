// The client's web calls against the real web service's handling on port 80 of a private network.
#include "server/web/WebService.hpp"
#include "web/Avatar.hpp"
#include "web/Login.hpp"
#include "web/RankColour.hpp"
#include "web/WebApi.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <mutex>
#include <thread>

TEST(WebService, CallsAvatarsAndTheLoginAsServed) {
    const std::string login = "POST /./php/endpoints/stest.php token=", avatars = "GET /img/avatars/";
    const std::string rank = "POST /./php/endpoints/rankdata.php token=",
                      assets = BRANNOC_BUILD_DIR "/assets/";
    const auto users = parseUsers(
        "tk-1\t42\t3\tbob\tBobby\tRobert\t1\ta,b\t" + assets + "texture/ui/menu_button_glass_red.png\n", "");
    std::mutex mutex;
    std::vector<std::string> sent;
    const auto serve = [&](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard<std::mutex> lock(mutex);
        sent.push_back(request.method + " " + request.path + " " + request.body);
        const WebReply reply = request.body == "token=part" // two lines, one field that reads
                                   ? WebReply{200, "id=99999999999\nrank=x\nuser=bob\n", "text/plain", ""}
                                   : handleWebRequest({request.method, request.path, request.body},
                                                      *users.users, {"", assets + "web/default.jpg"});
        response.status = reply.status;
        response.set_content(reply.body, reply.contentType.c_str());
    };
    httplib::Server server;
    server.Get(".*", serve);
    server.Post(".*", serve);
    ASSERT_TRUE(server.bind_to_port("127.0.0.1", 80));
    std::thread thread([&server] { server.listen_after_bind(); });

    // Calls post the token, then the parameters unencoded, and take the reply whatever its status.
    EXPECT_EQ(WebApi("stest").send("nobody"), "unknown token") << "a 403 reply";
    WebApi withParams("rankdata");
    withParams.setParams({{"first", "1"}});
    withParams.setParams({{"name", "a b&c=d"}, {"x", ""}});
    EXPECT_EQ(withParams.send(""), "#8899AA");
    EXPECT_EQ(fetchRankColour(5, "bob"), sf::Color(0xE74C3CFF));
    EXPECT_EQ(fetchRankColour(4294967295u, "a b&c"), sf::Color(0x8899AAFF));
    // The avatar is the user's image by id, else the default image.
    for (const auto& [id, size] : {std::pair{42u, 64u}, {99u, 128u}, {4294967295u, 128u}})
        EXPECT_EQ(fetchAvatar(id).getSize(), sf::Vector2u(size, size)) << id;
    // A login reply of two lines or more sets the fields it reads and fetches the avatar.
    using Row = std::pair<std::string, std::string>; // token; token, id, rank, names, groups, avatar width
    for (const auto& [token, signedIn] :
         {Row{"tk-1", "tk-1|42|3|bob|Bobby|2|64"}, Row{"bad", "|-1|0|Guest|Guest|0|0"},
          Row{"part", "part|-1|0|bob|Guest|0|128"}}) {
        currentUser = UserProfile{};
        currentUser.token = "earlier";
        EXPECT_EQ(loginWithToken(token), token != "bad") << token;
        const UserProfile& u = currentUser;
        EXPECT_EQ(u.token + "|" + std::to_string(u.id) + "|" + std::to_string(u.rank) + "|" + u.userName +
                      "|" + u.displayName + "|" + std::to_string(u.groups.size()) + "|" +
                      std::to_string(u.avatar.getSize().x),
                  signedIn);
    }
    server.stop();
    thread.join();
    const std::string fallback = avatars + "default.jpg ";
    EXPECT_EQ(sent, (std::vector<std::string>{login + "nobody",
                                              rank + "&name=a b&c=d&x=", rank + "&rank=5&name=bob&index=3",
                                              rank + "&rank=4294967295&name=a b&c&index=3", avatars + "42 ",
                                              avatars + "99 ", fallback, fallback, login + "tk-1",
                                              avatars + "42 ", login + "bad", login + "part", fallback}));
}

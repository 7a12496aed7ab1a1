#include "server/web/WebService.hpp"
#include "server/web/ServiceOptions.hpp"
#include "server/web/Users.hpp"

// The client's own readers: what they make of a reply is what counts.
#include "web/LoginReply.hpp"
#include "web/RankColour.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <tuple>

namespace {

// token id rank user display real sex groups avatar; bob's line leaves the avatar out.
const std::string ann = "tok-1\t42\t3\tann\tAnn\tAnn Lee\t2\tadmins,players\tmine.png\n";
const std::string bob = "tok-2\t-7\t0\tbob\tBob\tBob Ray\t1\t\n";

TEST(WebUsers, RefusesUnsafeOrMalformedLinesNamingThem) {
    // The file's text, and the start of the error naming its line.
    const std::pair<std::string, const char*> rows[] = {
        {ann + "t\t7\t0\tbob\t\"Bob\tB\t1\tg\t\n", "line 2: the display holds a double quote"},
        {"# t\t7\n\nt\t7\t0\tbob\tBob\t{B\t1\tg\t\n", "line 3: the real name holds a brace"},
        {"t\t7\t0\tbob\tBob\tB\t1\tg}\t\n", "line 1: the groups holds a brace"},
        {"t\t7\t0\tbob\tBob\tB\t1\tg\tp.png\r\n", "line 1: the avatar holds a carriage return"},
        {"t\t7\t0\tb\x1b[2Job\tBob\tB\t1\tg\t\n", "line 1: the user holds a control character"},
        {"t\t7\t0\tbob\tBob\tB\t1\n", "line 1: expected 9 tab-separated fields"},
        {ann + "t\t7\t0\tbob\tBob\tB\t1\tg\t\tx\n", "line 2: expected 9"},
        {"t\t4x\t0\tbob\tBob\tB\t1\tg\t\n", "line 1: the id is not an integer: 4x"},
        {"t\t7\t\tbob\tBob\tB\t1\tg\t\n", "line 1: the rank is not an integer"},
        {"t\t7\t0\tbob\tBob\tB\t2147483648\tg\t\n", "line 1: the sex is not an integer"},
        {ann + bob + ann, "line 3: the token is already used on line 1"},
        {"\t7\t0\tbob\tBob\tB\t1\tg\t\n", "line 1: the token is empty"},
        {"a&b\t7\t0\tbob\tBob\tB\t1\tg\t\n", "line 1: the token holds"},
    };
    for (const auto& [text, error] : rows) {
        const UsersRead read = parseUsers(text, "/srv");
        EXPECT_FALSE(read.users) << error;
        EXPECT_NE(read.error.find(error), std::string::npos) << read.error;
    }
    // The extremes of 32 bits are fine.
    EXPECT_TRUE(parseUsers("t\t2147483647\t-2147483648\tu\td\tr\t0\tg\t\n", "").users);
}

class WebHandling : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(mkdtemp(folder.data()), nullptr);
        std::filesystem::create_directories(folder + "/avatars");
        // The users file's own picture for 42 comes before the folder's; 8 is cut off before its end.
        const std::pair<const char*, std::string> files[] = {
            {"users", "# token id ...\n\n" + ann + bob},
            {"mine.png", png},
            {"avatars/42.png", jpeg},
            {"avatars/7.jpg", jpeg},
            {"avatars/8.png", png.substr(0, png.size() - 4)},
            {"avatars/9.jpg", "<html>not a picture</html>"},
        };
        for (const auto& [name, bytes] : files)
            std::ofstream(folder + "/" + name, std::ios::binary) << bytes;
        chmod((folder + "/users").c_str(), 0600);
        const UsersRead read = readUsersFile(folder + "/users");
        ASSERT_TRUE(read.users) << read.error;
        users = read.users;
        images = {folder + "/avatars", BRANNOC_BUILD_DIR "/assets/web/default.jpg"};
    }
    void TearDown() override { std::filesystem::remove_all(folder); }
    WebReply ask(const std::string& path, const std::string& body = "") {
        return handleWebRequest({"POST", path, body}, *users, images);
    }

    const std::string png = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16) + "pixels" +
                            std::string("\0\0\0\0IEND\xae\x42\x60\x82", 12);
    const std::string jpeg = "\xff\xd8\xff\xe0pixels\xff\xd9";
    std::string folder = "/tmp/brannoc-web-XXXXXX";
    std::shared_ptr<const WebUsers> users;
    ImageFiles images;
};

TEST_F(WebHandling, UsersFileThatOthersMayReadIsRefusedAsASecret) {
    const std::string path = folder + "/users";
    const std::pair<mode_t, bool> modes[] = {{0400, true}, {0640, false}, {0604, false}, {0620, false}};
    for (const auto& [mode, accepted] : modes) {
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
        const UsersRead read = readUsersFile(path);
        EXPECT_EQ(static_cast<bool>(read.users), accepted) << std::oct << mode << ": " << read.error;
        EXPECT_EQ(read.error.find("secret") != std::string::npos, !accepted) << read.error;
    }
    EXPECT_NE(readUsersFile(folder + "/absent").error.find(folder + "/absent"), std::string::npos);
}

TEST_F(WebHandling, KnownTokenLogsInUnderEitherSpellingOfThePath) {
    for (const char* path : {"/./php/endpoints/stest.php", "./php/endpoints/stest.php"}) {
        const std::optional<LoginReply> login = readLoginReply(ask(path, "name=x&token=tok-1&index=3").body);
        ASSERT_TRUE(login) << path;
        EXPECT_EQ(std::make_tuple(login->id, login->rank, login->sex), std::make_tuple(42, 3, 2));
        EXPECT_EQ(std::make_tuple(login->userName, login->displayName, login->realName),
                  std::make_tuple("ann", "Ann", "Ann Lee"));
        EXPECT_EQ(login->groups, (std::vector<std::string>{"admins", "players"}));
    }
    const std::optional<LoginReply> eight =
        readLoginReply(ask("/php/endpoints/stest.php", "token=tok-2").body);
    EXPECT_EQ(eight ? eight->id : 0, -7) << "a line without an avatar";
}

TEST_F(WebHandling, EveryRefusalIsAtMostOneLineSoTheClientStaysLoggedOut) {
    const auto refused = [&](const std::string& path, const std::string& body) {
        const WebReply reply = ask(path, body);
        EXPECT_EQ(std::count(reply.body.begin(), reply.body.end(), '\n'), 0) << path << " " << body;
        EXPECT_NE(reply.status, 200) << path << " " << body << ": " << reply.body;
    };
    for (const char* body : {"token=tok-3", "", "tok-1", "xtoken=tok-1"})
        refused("/./php/endpoints/stest.php", body);
    // The last would reach a whole picture outside the avatars folder.
    for (const char* path :
         {"/php/endpoints/other.php", "/../php/endpoints/stest.php", "/img/avatars/../mine"})
        refused(path, "token=tok-1");
}

TEST_F(WebHandling, RankColourIsTheOneTheClientReadsFromTheTable) {
    const sf::Color member(0x88, 0x99, 0xAA), blue(0x1E, 0x90, 0xFF), teal(0x1A, 0xBC, 0x9C);
    const std::pair<std::string, sf::Color> rows[] = {
        {"1", blue}, {"7", teal}, {"8", member}, {"x", member}, {"99999999999999999999", member},
    };
    const std::string path = "/./php/endpoints/rankdata.php";
    for (const auto& [rank, colour] : rows)
        EXPECT_EQ(parseRankColour(ask(path, "token=&rank=" + rank + "&name=ann&index=3").body), colour)
            << rank;
    EXPECT_EQ(parseRankColour(ask(path, "token=&name=ann&index=3").body), member) << "no rank";
}

TEST_F(WebHandling, AvatarsComeFromTheUsersFileThenTheFolderAndOnlyWhole) {
    // The id asked for and the picture served; none: no picture.
    const std::pair<const char*, std::string> rows[] = {
        {"42", png}, {"7", jpeg}, {"8", ""}, {"9", ""}, {"10", ""}};
    for (const auto& [id, picture] : rows) {
        const WebReply reply = ask(std::string("/img/avatars/") + id);
        EXPECT_EQ(reply.status == 200 ? reply.body : "", picture) << id << ": " << reply.status;
    }
    const WebReply fallback = ask("/img/avatars/default.jpg");
    EXPECT_EQ(std::tie(fallback.status, fallback.contentType), std::make_tuple(200, "image/jpeg"));
    images.defaultAvatar = folder + "/absent.jpg";
    EXPECT_EQ(ask("/img/avatars/default.jpg").status, 404);
}

TEST(WebLog, PeerControlCharactersCannotForgeLines) {
    EXPECT_EQ(forLog("GET /a\nbrannoc-web: login\r\x1b[1m\x7f ok"), "GET /a?brannoc-web: login??[1m? ok");
}

TEST(WebOptions, FlagsDefaultsAndRefusals) {
    const OptionDefaults defaults{"/cfg", "/home/ann", "/opt/b"};
    const ServiceOptions plain = readServiceOptions({}, defaults).options;
    EXPECT_EQ(std::tie(plain.port, plain.usersFile, plain.defaultAvatar),
              std::make_tuple(80, "/cfg/brannoc/users", "/opt/b/assets/web/default.jpg"));
    EXPECT_EQ(readServiceOptions({}, {"relative", "/h", ""}).options.usersFile, "/h/.config/brannoc/users");
    const ServiceOptions all =
        readServiceOptions({"--port", "8080", "--bind=127.0.0.1", "--users", "u"}, defaults).options;
    EXPECT_EQ(std::tie(all.port, all.bind, all.usersFile), std::make_tuple(8080, "127.0.0.1", "u"));
    EXPECT_EQ(readServiceOptions({"--port", "1", "--help"}, defaults).action, OptionsRead::Action::Help);
    const std::vector<std::string> refused[] = {
        {"--port", "0"}, {"--port", "65536"}, {"--port"}, {"--users="}, {"-v"}};
    for (const auto& args : refused)
        EXPECT_EQ(readServiceOptions(args, defaults).action, OptionsRead::Action::Refuse) << args[0];
    EXPECT_EQ(readServiceOptions({}, {}).action, OptionsRead::Action::Refuse) << "no users file";
}

} // namespace

#include "server/web/WebService.hpp"
#include "server/web/ServiceOptions.hpp"

// The client's own readers: what they make of a reply is what counts.
#include "web/LoginReply.hpp"
#include "web/RankColour.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

// An optional "#", then 3 or 6 hexadecimal digits and nothing else.
bool isHexColour(std::string text) {
    if (!text.empty() && text[0] == '#')
        text.erase(0, 1);
    return (text.size() == 3 || text.size() == 6) &&
           text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

std::size_t lineCount(const std::string& body) {
    return body.empty() ? 0 : 1 + static_cast<std::size_t>(std::count(body.begin(), body.end(), '\n'));
}

class WebHandling : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/brannoc-web-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        std::filesystem::create_directories(folder + "/avatars");
        write("mine.png", png);
        write("avatars/7.jpg", jpeg);
        write("avatars/8.png", png.substr(0, png.size() - 4)); // cut off before its end
        write("avatars/9.jpg", "<html>not a picture</html>");
        write("avatars/42.png", jpeg); // the users file's own picture comes first
        const UsersRead read =
            parseUsers("tok-1\t42\t3\tann\tAnn\tAnn Lee\t2\tadmins,players\tmine.png\n", folder);
        ASSERT_TRUE(read.users) << read.error;
        users = read.users;
        images = {folder + "/avatars", BRANNOC_BUILD_DIR "/assets/web/default.jpg"};
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    void write(const std::string& name, const std::string& bytes) {
        std::ofstream(folder + "/" + name, std::ios::binary) << bytes;
    }
    WebReply ask(const std::string& method, const std::string& path, const std::string& body = "") {
        return handleWebRequest({method, path, body}, *users, images);
    }

    const std::string png = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16) + "pixels" +
                            std::string("\0\0\0\0IEND\xae\x42\x60\x82", 12);
    const std::string jpeg = "\xff\xd8\xff\xe0pixels\xff\xd9";
    std::string folder;
    std::shared_ptr<const WebUsers> users;
    ImageFiles images;
};

TEST_F(WebHandling, KnownTokenLogsInUnderEitherFormOfTheLiteralPath) {
    for (const char* path :
         {"/./php/endpoints/stest.php", "./php/endpoints/stest.php", "/php/endpoints/stest.php"}) {
        const WebReply reply = ask("POST", path, "token=tok-1");
        const std::optional<LoginReply> login = readLoginReply(reply.body);
        ASSERT_TRUE(login) << path << ": " << reply.body;
        EXPECT_EQ(login->id, 42);
        EXPECT_EQ(login->rank, 3);
        EXPECT_EQ(login->userName, "ann");
        EXPECT_EQ(login->displayName, "Ann");
        EXPECT_EQ(login->realName, "Ann Lee");
        EXPECT_EQ(login->sex, 2);
        EXPECT_EQ(login->groups, (std::vector<std::string>{"admins", "players"}));
        EXPECT_EQ(reply.outcome.find("tok-1"), std::string::npos) << "the token must stay out of the log";
    }
}

TEST_F(WebHandling, EveryRefusalIsAtMostOneLineSoTheClientStaysLoggedOut) {
    struct Row {
        const char* method;
        const char* path;
        const char* body;
    };
    const Row rows[] = {
        {"POST", "/./php/endpoints/stest.php", "token=tok-2"},
        {"POST", "/./php/endpoints/stest.php", "token=tok-"},
        {"POST", "/./php/endpoints/stest.php", "token="},
        {"POST", "/./php/endpoints/stest.php", ""},
        {"POST", "/./php/endpoints/stest.php", "tok-1"},
        {"POST", "/./php/endpoints/stest.php", "xtoken=tok-1"},
        {"GET", "/./php/endpoints/stest.php", ""},
        {"POST", "/php/endpoints/other.php", "token=tok-1"},
        {"POST", "/../php/endpoints/stest.php", "token=tok-1"},
        {"GET", "/", ""},
        {"GET", "/img/avatars/", ""},
        {"GET", "/img/avatars/../users", ""},
    };
    for (const Row& row : rows) {
        const WebReply reply = ask(row.method, row.path, row.body);
        EXPECT_LE(lineCount(reply.body), 1u) << row.path << " " << row.body << ": " << reply.body;
        EXPECT_FALSE(readLoginReply(reply.body)) << row.path << " " << row.body;
        EXPECT_NE(reply.status, 200) << row.path << " " << row.body;
    }
}

TEST_F(WebHandling, RankColourIsHexThatTheClientReadsAsTheTableSays) {
    struct Row {
        const char* body;
        sf::Color colour;
    };
    const sf::Color member(0x88, 0x99, 0xAA);
    const Row rows[] = {
        {"token=&rank=0&name=ann&index=3", member},
        {"token=&rank=1&name=ann&index=3", sf::Color(0x1E, 0x90, 0xFF)},
        {"token=&rank=2&name=ann&index=3", sf::Color(0x2E, 0xCC, 0x71)},
        {"token=&rank=7&name=ann&index=3", sf::Color(0x1A, 0xBC, 0x9C)},
        {"token=&rank=8&name=ann&index=3", member},
        {"token=&rank=-1&name=ann&index=3", member},
        {"token=&rank=x&name=ann&index=3", member},
        {"token=&name=ann&index=3", member},
    };
    for (const Row& row : rows) {
        const WebReply reply = ask("POST", "/./php/endpoints/rankdata.php", row.body);
        EXPECT_TRUE(isHexColour(reply.body)) << row.body << ": " << reply.body;
        EXPECT_EQ(parseRankColour(reply.body), row.colour) << row.body << ": " << reply.body;
    }
}

TEST_F(WebHandling, AvatarsComeFromTheUsersFileThenTheFolderAndOnlyWhole) {
    struct Row {
        const char* path;
        int status;
        std::string body; // empty: any non-image
    };
    const Row rows[] = {
        {"/img/avatars/42", 200, png},         {"/img/avatars/7", 200, jpeg}, {"/img/avatars/8", 404, ""},
        {"/img/avatars/9", 404, ""},           {"/img/avatars/10", 404, ""},  {"/img/avatars/7.jpg", 404, ""},
        {"/img/avatars/99999999999", 404, ""},
    };
    for (const Row& row : rows) {
        const WebReply reply = ask("GET", row.path);
        EXPECT_EQ(reply.status, row.status) << row.path;
        if (!row.body.empty())
            EXPECT_EQ(reply.body, row.body) << row.path;
        else
            EXPECT_EQ(reply.body.find("\xff\xd8"), std::string::npos) << row.path;
    }
    const WebReply fallback = ask("GET", "/img/avatars/default.jpg");
    EXPECT_EQ(fallback.status, 200);
    EXPECT_EQ(fallback.contentType, "image/jpeg");
    EXPECT_EQ(fallback.body.substr(0, 3), "\xff\xd8\xff");
    images.defaultAvatar = folder + "/absent.jpg";
    EXPECT_EQ(ask("GET", "/img/avatars/default.jpg").status, 404);
}

TEST(WebLog, PeerControlCharactersCannotForgeLines) {
    EXPECT_EQ(forLog("GET /a\nbrannoc-web: login\r\x1b[1m\x7f ok"), "GET /a?brannoc-web: login??[1m? ok");
}

TEST(WebOptions, FlagsDefaultsAndRefusals) {
    const OptionDefaults defaults{"/cfg", "/home/ann", "/opt/b"};
    const ServiceOptions plain = readServiceOptions({}, defaults).options;
    EXPECT_EQ(plain.port, 80);
    EXPECT_EQ(plain.usersFile, "/cfg/brannoc/users");
    EXPECT_EQ(plain.defaultAvatar, "/opt/b/assets/web/default.jpg");
    EXPECT_EQ(readServiceOptions({}, {"relative", "/h", ""}).options.usersFile, "/h/.config/brannoc/users");
    const OptionsRead all =
        readServiceOptions({"--port", "8080", "--bind=127.0.0.1", "--users", "u"}, defaults);
    EXPECT_EQ(all.action, OptionsRead::Action::Run);
    EXPECT_EQ(all.options.port, 8080);
    EXPECT_EQ(all.options.bind, "127.0.0.1");
    EXPECT_EQ(all.options.usersFile, "u");
    EXPECT_EQ(readServiceOptions({"--port", "1", "--help"}, defaults).action, OptionsRead::Action::Help);

    const std::pair<std::vector<std::string>, const char*> refused[] = {
        {{"--port", "0"}, "--port needs a number"},  {{"--port", "65536"}, "--port needs a number"},
        {{"--port"}, "--port needs a value"},        {{"--users="}, "--users needs a value"},
        {{"--verbose"}, "unknown option --verbose"},
    };
    for (const auto& [args, error] : refused)
        EXPECT_NE(readServiceOptions(args, defaults).error.find(error), std::string::npos) << error;
    EXPECT_EQ(readServiceOptions({}, {"", "", ""}).action, OptionsRead::Action::Refuse) << "no users file";
}

} // namespace

#include "server/web/WebService.hpp"
#include "server/web/ServiceOptions.hpp"
#include "server/web/Users.hpp"
#include "web/LoginReply.hpp" // the client's own reader: what it makes of a reply is what counts

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/stat.h>

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
        {"t\t7\t\tbob\tBob\tB\t1\tg\t\n", "line 1: the rank is not an integer"},
        {"t\t4x\t0\tbob\tBob\tB\t1\tg\t\n", "line 1: the id is not an integer: 4x"},
        {"t\t7\t0\tbob\tBob\tB\t2147483648\tg\t\n", "line 1: the sex is not an integer"},
        {ann + bob + ann, "line 3: the token is already used on line 1"},
        {"\t7\t0\tbob\tBob\tB\t1\tg\t\n", "line 1: the token is empty"},
        {"a&b\t7\t0\tbob\tBob\tB\t1\tg\t\n", "line 1: the token holds"}};
    for (const auto& [text, error] : rows)
        EXPECT_EQ(parseUsers(text, "/srv").error.find(error), 0u) << error;
    EXPECT_TRUE(parseUsers("t\t2147483647\t-2147483648\tu\td\tr\t0\tg\t\n", "").users) << "32-bit extremes";
}

TEST(WebHandling, AnswersAsTheClientReadsAndRefusesInOneLine) {
    std::string dir = "/tmp/brannoc-web-XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    std::filesystem::create_directories(dir + "/avatars");
    const std::string png = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16) + "pixels" +
                            std::string("\0\0\0\0IEND\xae\x42\x60\x82", 12);
    const std::string jpeg = "\xff\xd8\xff\xe0pixels\xff\xd9";
    const std::pair<const char*, std::string> files[] = {{"users", "# token id ...\n\n" + ann + bob},
                                                         {"mine.png", png},
                                                         {"avatars/42.png", jpeg},
                                                         {"avatars/7.jpg", jpeg},
                                                         {"avatars/8.png", png.substr(0, png.size() - 4)},
                                                         {"avatars/9.jpg", "<html>"}};
    for (const auto& [name, bytes] : files)
        std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
    // The users file is a secret: neither group nor others may read or write it.
    for (const auto& [mode, accepted] :
         {std::pair{0640, false}, {0604, false}, {0620, false}, {0400, true}}) {
        chmod((dir + "/users").c_str(), static_cast<mode_t>(mode));
        const UsersRead read = readUsersFile(dir + "/users");
        EXPECT_EQ(read.error.find("secret") == std::string::npos, accepted) << std::oct << mode << read.error;
    }
    const std::shared_ptr<const WebUsers> users = readUsersFile(dir + "/users").users;
    ASSERT_TRUE(users);
    EXPECT_NE(readUsersFile(dir + "/absent").error.find(dir + "/absent"), std::string::npos);
    ImageFiles images{dir + "/avatars", BRANNOC_BUILD_DIR "/assets/web/default.jpg"};

    const std::string login = "/./php/endpoints/stest.php", rank = "/./php/endpoints/rankdata.php";
    const std::string annIn = "id=42\nrank=3\nuser=ann\ndisp=Ann\nreal=Ann Lee\nsex=2\ngrps=admins,players";
    // The path, the body, and the reply's status and body. A refusal is one line: the client stays
    // logged out. Avatars: the users file's picture for 42 comes first; 8 is cut off, 9 is none.
    const std::tuple<std::string, std::string, int, std::string> rows[] = {
        {login, "name=x&token=tok-1&index=3", 200, annIn},
        {"./php/endpoints/stest.php", "token=tok-1", 200, annIn},
        {login, "token=tok-2", 200, "id=-7\nrank=0\nuser=bob\ndisp=Bob\nreal=Bob Ray\nsex=1\ngrps="},
        {login, "token=tok-3", 403, "unknown token"},
        {login, "tok-1", 403, "unknown token"},
        {login, "xtoken=tok-1", 403, "unknown token"},
        {"/php/endpoints/other.php", "token=tok-1", 404, "not found"},
        {"/../php/endpoints/stest.php", "token=tok-1", 404, "not found"},
        {rank, "token=&rank=1&name=ann&index=3", 200, "#1E90FF"},
        {rank, "rank=7", 200, "#1ABC9C"},
        {rank, "rank=8", 200, "#8899AA"},
        {rank, "rank=x", 200, "#8899AA"},
        {rank, "rank=99999999999999999999", 200, "#8899AA"},
        {rank, "token=&name=ann", 200, "#8899AA"},
        {"/img/avatars/42", "", 200, png},
        {"/img/avatars/7", "", 200, jpeg},
        {"/img/avatars/8", "", 404, "no avatar"},
        {"/img/avatars/9", "", 404, "no avatar"},
        {"/img/avatars/10", "", 404, "no avatar"},
        {"/img/avatars/../mine", "", 404, "not found"}};
    for (const auto& [path, body, status, reply] : rows) {
        const WebReply r = handleWebRequest({"POST", path, body}, *users, images);
        EXPECT_EQ(std::tie(r.status, r.body), std::tie(status, reply)) << path << " " << body;
    }
    const std::optional<LoginReply> in = readLoginReply(annIn);
    ASSERT_TRUE(in);
    EXPECT_EQ(
        std::tie(in->id, in->rank, in->sex, in->userName, in->displayName, in->realName, in->groups),
        std::make_tuple(42, 3, 2, "ann", "Ann", "Ann Lee", std::vector<std::string>{"admins", "players"}));
    const WebReply fallback = handleWebRequest({"GET", "/img/avatars/default.jpg", ""}, *users, images);
    EXPECT_EQ(std::tie(fallback.status, fallback.contentType), std::make_tuple(200, "image/jpeg"));
    images.defaultAvatar = dir + "/absent.jpg";
    EXPECT_EQ(handleWebRequest({"GET", "/img/avatars/default.jpg", ""}, *users, images).status, 404);
    EXPECT_EQ(forLog("GET /a\nbrannoc-web: login\r\x1b[1m\x7f ok"), "GET /a?brannoc-web: login??[1m? ok");
    std::filesystem::remove_all(dir);
}

TEST(WebOptions, FlagsDefaultsAndRefusals) {
    const OptionDefaults defaults{"/cfg", "/home/ann", "/opt/b"};
    const auto read = [&](const char* line) {
        std::istringstream words(line);
        return readServiceOptions({std::istream_iterator<std::string>(words), {}}, defaults);
    };
    const ServiceOptions plain = read("").options,
                         all = read("--port 8080 --bind=127.0.0.1 --users u").options;
    EXPECT_EQ(std::tie(plain.port, plain.bind, plain.usersFile, plain.defaultAvatar),
              std::make_tuple(80, "0.0.0.0", "/cfg/brannoc/users", "/opt/b/assets/web/default.jpg"));
    EXPECT_EQ(std::tie(all.port, all.bind, all.usersFile), std::make_tuple(8080, "127.0.0.1", "u"));
    EXPECT_EQ(read("--port 1 --help").action, OptionsRead::Action::Help);
    for (const char* line : {"--port 0", "--port 65536", "--port", "--users=", "-v"})
        EXPECT_EQ(read(line).action, OptionsRead::Action::Refuse) << line;
    EXPECT_EQ(readServiceOptions({}, {"relative", "/h", ""}).options.usersFile, "/h/.config/brannoc/users");
    EXPECT_EQ(readServiceOptions({}, {}).action, OptionsRead::Action::Refuse) << "no users file";
}

} // namespace

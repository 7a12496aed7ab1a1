// The real brannoc-web on port 80 of the test's private network: refused starts, every request the
// client makes, the users file read again on SIGHUP, and a clean stop.

#include "tests/support/Harness.hpp"

#include <gtest/gtest.h>

#include <httplib.h>

#include <sys/stat.h>

#include <filesystem>

namespace {

TEST(WebProcess, RefusesBadStartsThenAnswersAsTheClientReadsReloadsAndStops) {
    std::string dir = "/tmp/brannoc-web-process-XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    const std::string users = dir + "/users", jpeg = "\xff\xd8\xff\xe0pixels\xff\xd9";
    const std::string png =
        std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16) + std::string("\0IEND\xae\x42\x60\x82", 9);
    // token id rank user display real sex groups avatar; bob's line leaves the avatar out.
    const std::string ann = "tok-1\t42\t3\tann\tAnn\tAnn Lee\t2\tadmins,players\tmine.png\n",
                      bob = "tok-2\t-7\t0\tbob\tBob\tBob Ray\t1\t\n";
    std::filesystem::create_directories(dir + "/avatars");
    // clang-format off
    for (const auto& [name, bytes] : {std::pair<const char*, std::string>{"users", "# token id ...\n\n" + ann},
         {"mine.png", png}, {"avatars/42.png", jpeg}, {"avatars/7.jpg", jpeg}, {"avatars/8.png", png.substr(0, 24)}})
        std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
    // clang-format on
    const std::vector<std::string> web = {BRANNOC_BUILD_DIR "/brannoc-web", "--users", users, "--avatars",
                                          dir + "/avatars"};
    // The users file is a secret: neither group nor others may read or write it.
    std::string said;
    const auto refused = [&](const std::vector<std::string>& args) {
        Process once(args);
        EXPECT_TRUE(once.waitExit());
        said += once.out() + once.err();
        return once.status();
    };
    for (const mode_t mode : {0640, 0604, 0620}) {
        chmod(users.c_str(), mode);
        EXPECT_EQ(refused(web), 1) << std::oct << mode;
    }
    EXPECT_EQ(refused({web[0], "--port", "none"}), 2);
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 4) << said; // one line each
    EXPECT_NE(said.find("the users file is a secret"), std::string::npos) << said;

    chmod(users.c_str(), 0600);
    Process server(web);
    const auto log = [&] { return server.out() + server.err(); };
    httplib::Client client("127.0.0.1", 80);
    EXPECT_TRUE(waitUntil([&] { return static_cast<bool>(client.Get("/")); })) << log();
    const auto ask = [&](const std::string& path, const std::string& body = "") {
        const auto reply =
            body.empty() ? client.Get(path) : client.Post(path, body, "application/x-www-form-urlencoded");
        return reply ? std::to_string(reply->status) + " " + reply->body : "(no reply)";
    };
    const std::string login = "/./php/endpoints/stest.php", rank = "/./php/endpoints/rankdata.php";
    const std::string annIn =
        "200 id=42\nrank=3\nuser=ann\ndisp=Ann\nreal=Ann Lee\nsex=2\ngrps=admins,players";
    // Path, body, reply. A refusal is one line: the client stays logged out. The client asks for
    // "./php/..." with or without "/" in front; 42's picture in the users file comes first.
    // clang-format off
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {login, "name=x&token=tok-1&index=3", annIn}, {"./php/endpoints/stest.php", "token=tok-1", annIn},
        {login, "token=tok-2", "403 unknown token"}, {login, "xtoken=tok-1", "403 unknown token"},
        {rank, "token=&rank=1&name=ann&index=3", "200 #1E90FF"}, {rank, "rank=8", "200 #8899AA"},
        {rank, "rank=99999999999999999999", "200 #8899AA"}, {"/img/avatars/42", "", "200 " + png},
        {"/img/avatars/7", "", "200 " + jpeg}, {"/img/avatars/8", "", "404 no avatar"},
        {"/img/avatars/../mine", "", "404 not found"}};
    // clang-format on
    for (const auto& [path, body, reply] : rows)
        EXPECT_EQ(ask(path, body), reply) << path << " " << body;
    const auto avatar = client.Get("/img/avatars/default.jpg"); // from the asset tree beside the program
    EXPECT_TRUE(avatar && avatar->status == 200 && avatar->get_header_value("Content-Type") == "image/jpeg" &&
                avatar->body.rfind("\xff\xd8\xff", 0) == 0);

    std::ofstream(users) << ann + bob;
    kill(server.pid, SIGHUP);
    EXPECT_TRUE(waitUntil([&] { return ask(login, "token=tok-2").rfind("200 id=-7\n", 0) == 0; }));
    // A broken file leaves the table as it was.
    std::ofstream(users) << "tok-3\t44\t0\tcy\t{Cy}\tCy\t1\tg\t\n";
    kill(server.pid, SIGHUP);
    EXPECT_TRUE(
        waitUntil([&] { return log().find("line 1: the display holds a brace") != std::string::npos; }));
    EXPECT_EQ(ask(login, "token=tok-2").substr(0, 11) + ask(login, "token=tok-3"),
              "200 id=-7\nr403 unknown token");
    server.stop();
    EXPECT_EQ(server.status(), 0);
    EXPECT_EQ(log().find("tok-"), std::string::npos) << "tokens stay out of the log: " << log();
    std::filesystem::remove_all(dir);
}

} // namespace

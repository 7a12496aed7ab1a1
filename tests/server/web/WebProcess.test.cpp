// The real brannoc-web on port 80 of the test's private network: refused starts, real requests,
// the users file read again on SIGHUP, and a clean stop.
#include "tests/server/Process.hpp"

#include <httplib.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

namespace {

TEST(WebProcess, RefusesBadStartsThenServesReloadsAndStops) {
    std::string dir = "/tmp/brannoc-web-process-XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    const std::string users = dir + "/users", log = dir + "/log",
                      ann = "tok-ann\t42\t1\tann\tAnn\tAnn Lee\t2\tadmins\t\n";
    const auto write = [&](const std::string& text, mode_t mode) {
        std::ofstream(users) << text;
        chmod(users.c_str(), mode);
    };
    const std::vector<std::string> web = {BRANNOC_BUILD_DIR "/brannoc-web", "--users", users};
    write(ann, 0600);
    EXPECT_EQ(proc::reap(proc::spawn({web[0], "--port", "none"}, dir + "/refused")), 2);
    write(ann, 0644);
    EXPECT_EQ(proc::reap(proc::spawn(web, dir + "/refused")), 1);
    const std::string said = proc::slurp(dir + "/refused");
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 2) << said; // one line each
    EXPECT_NE(said.find("the users file is a secret"), std::string::npos) << said;

    write(ann, 0600);
    const pid_t pid = proc::spawn(web, log);
    httplib::Client client("127.0.0.1", 80);
    client.set_connection_timeout(2);
    client.set_read_timeout(2);
    EXPECT_TRUE(proc::eventually([&] { return static_cast<bool>(client.Get("/")); })) << proc::slurp(log);
    // The body, or "(no reply)"; the client asks for "./php/..." with or without a "/" in front.
    const auto login = [&](const std::string& token, const char* path = "/./php/endpoints/stest.php") {
        const auto reply = client.Post(path, "token=" + token, "application/x-www-form-urlencoded");
        return reply ? reply->body : "(no reply)";
    };
    EXPECT_EQ(login("tok-ann"), "id=42\nrank=1\nuser=ann\ndisp=Ann\nreal=Ann Lee\nsex=2\ngrps=admins");
    EXPECT_EQ(login("tok-ann", "./php/endpoints/stest.php").substr(0, 6), "id=42\n");
    EXPECT_EQ(login("tok-bob"), "unknown token");
    const auto avatar = client.Get("/img/avatars/default.jpg"); // from the asset tree beside the program
    EXPECT_TRUE(avatar && avatar->status == 200 && avatar->body.rfind("\xff\xd8\xff", 0) == 0);

    write(ann + "tok-bob\t43\t0\tbob\tBob\tBob Ray\t1\tplayers\t\n", 0600);
    kill(pid, SIGHUP);
    EXPECT_TRUE(proc::eventually([&] { return login("tok-bob").rfind("id=43\n", 0) == 0; }))
        << proc::slurp(log);
    // A broken file leaves the table as it was.
    write("tok-cy\t44\t0\tcy\t{Cy}\tCy\t1\tg\t\n", 0600);
    kill(pid, SIGHUP);
    EXPECT_TRUE(proc::eventually([&] {
        return proc::slurp(log).find("line 1: the display holds a brace") != std::string::npos;
    })) << proc::slurp(log);
    EXPECT_EQ(login("tok-bob").substr(0, 6) + login("tok-cy"), "id=43\nunknown token");
    kill(pid, SIGTERM);
    EXPECT_EQ(proc::reap(pid), 0);
    EXPECT_EQ(proc::slurp(log).find("tok-"), std::string::npos) << "tokens stay out of the log";
    std::filesystem::remove_all(dir);
}

} // namespace

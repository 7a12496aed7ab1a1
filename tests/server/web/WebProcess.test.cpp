// The real brannoc-web on port 80 of the test's private network: start-up refusals, real requests,
// the users file read again on SIGHUP, and a clean stop.
#include "tests/server/Process.hpp"

#include <httplib.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

namespace {

const std::string ann = "tok-ann\t42\t1\tann\tAnn\tAnn Lee\t2\tadmins\t\n";
const std::string bob = "tok-bob\t43\t0\tbob\tBob\tBob Ray\t1\tplayers\t\n";

TEST(WebProcess, RefusesBadStartsThenServesReloadsAndStops) {
    std::string folder = "/tmp/brannoc-web-process-XXXXXX";
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    const std::string users = folder + "/users", log = folder + "/log";
    const auto write = [&](const std::string& text, mode_t mode) {
        std::ofstream(users) << text;
        chmod(users.c_str(), mode);
    };
    const auto start = [&](std::vector<std::string> args) {
        std::filesystem::remove(log);
        args.insert(args.begin(), {BRANNOC_BUILD_DIR "/brannoc-web", "--users", users});
        return proc::spawn(args, log);
    };
    // Extra arguments, the users file's mode, the exit status, and the one line said.
    const std::tuple<std::vector<std::string>, mode_t, int, const char*> refusals[] = {
        {{"--port", "none"}, 0600, 2, "--port needs a number"},
        {{}, 0644, 1, "the users file is a secret"},
    };
    for (const auto& [args, mode, status, says] : refusals) {
        write(ann, mode);
        EXPECT_EQ(proc::reap(start(args)), status) << says;
        const std::string said = proc::slurp(log);
        EXPECT_TRUE(said.find(says) != std::string::npos && std::count(said.begin(), said.end(), '\n') == 1)
            << said;
    }

    write(ann, 0600);
    const pid_t pid = start({});
    httplib::Client client("127.0.0.1", 80);
    client.set_connection_timeout(std::chrono::seconds(2));
    client.set_read_timeout(std::chrono::seconds(2));
    EXPECT_TRUE(proc::eventually([&] { return static_cast<bool>(client.Get("/")); })) << proc::slurp(log);
    // The body, or "(no reply)"; the client asks for "./php/..." with or without a "/" in front.
    const auto login = [&](const std::string& token, const char* path = "/./php/endpoints/stest.php") {
        const auto reply = client.Post(path, "token=" + token, "application/x-www-form-urlencoded");
        return reply ? reply->body : "(no reply)";
    };
    EXPECT_EQ(login("tok-ann"), "id=42\nrank=1\nuser=ann\ndisp=Ann\nreal=Ann Lee\nsex=2\ngrps=admins");
    EXPECT_EQ(login("tok-ann", "./php/endpoints/stest.php").substr(0, 6), "id=42\n");
    EXPECT_EQ(login("tok-bob"), "unknown token");
    // The default avatar is found in the asset tree beside the program.
    const auto avatar = client.Get("/img/avatars/default.jpg");
    EXPECT_TRUE(avatar && avatar->status == 200 && avatar->body.rfind("\xff\xd8\xff", 0) == 0);

    write(ann + bob, 0600);
    kill(pid, SIGHUP);
    EXPECT_TRUE(proc::eventually([&] { return login("tok-bob").rfind("id=43\n", 0) == 0; }))
        << proc::slurp(log);
    // A broken file leaves the table as it was.
    write(bob + "tok-cy\t44\t0\tcy\t{Cy}\tCy\t1\tg\t\n", 0600);
    kill(pid, SIGHUP);
    EXPECT_TRUE(
        proc::eventually([&] { return proc::slurp(log).find("reload refused") != std::string::npos; }));
    EXPECT_NE(proc::slurp(log).find("line 2: the display holds a brace"), std::string::npos)
        << proc::slurp(log);
    EXPECT_EQ(login("tok-ann").substr(0, 6), "id=42\n");
    EXPECT_EQ(login("tok-cy"), "unknown token");

    kill(pid, SIGTERM);
    EXPECT_EQ(proc::reap(pid), 0);
    EXPECT_EQ(proc::slurp(log).find("tok-"), std::string::npos) << "tokens stay out of the log";
    std::filesystem::remove_all(folder);
}

} // namespace

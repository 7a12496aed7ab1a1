// The real brannoc-web on port 80 of the test's private network: start-up refusals, real requests,
// and the users file read again on SIGHUP.
#include <httplib.h>

#include <SFML/Graphics/Image.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace {

bool waitFor(const std::function<bool()>& sign) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (; std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        if (sign())
            return true;
    return false;
}

class WebProcess : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(mkdtemp(folder.data()), nullptr); }
    void TearDown() override {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
        std::filesystem::remove_all(folder);
    }
    // Starts brannoc-web on the users file, its standard error going to the log.
    void start(std::vector<std::string> args) {
        args.insert(args.begin(), {BRANNOC_BUILD_DIR "/brannoc-web", "--users", folder + "/users"});
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, (folder + "/log").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    // The exit status, or -1 when it has not ended within the limit.
    int exitStatus() {
        int status = 0;
        if (!waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }))
            return -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    void writeUsers(const std::string& text, mode_t mode = 0600) {
        std::ofstream(folder + "/users") << text;
        chmod((folder + "/users").c_str(), mode);
    }
    std::string log() const {
        std::ifstream in(folder + "/log");
        return {std::istreambuf_iterator<char>(in), {}};
    }

    std::string folder = "/tmp/brannoc-web-process-XXXXXX";
    pid_t pid = -1;
};

const std::string ann = "tok-ann\t42\t1\tann\tAnn\tAnn Lee\t2\tadmins\t\n";
const std::string bob = "tok-bob\t43\t0\tbob\tBob\tBob Ray\t1\tplayers\t\n";

TEST_F(WebProcess, RefusesBadStartsThenServesReloadsAndStops) {
    // Extra arguments, the users file's mode, the exit status, and the one line said.
    const std::tuple<std::vector<std::string>, mode_t, int, const char*> refusals[] = {
        {{"--port", "none"}, 0600, 2, "--port needs a number"},
        {{}, 0644, 1, "the users file is a secret"},
    };
    for (const auto& [args, mode, status, says] : refusals) {
        writeUsers(ann, mode);
        start(args);
        EXPECT_EQ(exitStatus(), status) << says;
        const std::string said = log();
        EXPECT_NE(said.find(says), std::string::npos) << said;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    }

    writeUsers(ann);
    start({});
    httplib::Client client("127.0.0.1", 80);
    client.set_connection_timeout(std::chrono::seconds(2));
    ASSERT_TRUE(waitFor([&] { return static_cast<bool>(client.Get("/")); })) << log();
    // The body, or "(no reply)"; the client asks for "./php/..." with or without a "/" in front.
    const auto login = [&](const std::string& token, const char* path = "/./php/endpoints/stest.php") {
        const auto reply = client.Post(path, "token=" + token, "application/x-www-form-urlencoded");
        return reply ? reply->body : "(no reply)";
    };
    EXPECT_EQ(login("tok-ann"), "id=42\nrank=1\nuser=ann\ndisp=Ann\nreal=Ann Lee\nsex=2\ngrps=admins");
    EXPECT_EQ(login("tok-ann", "./php/endpoints/stest.php").substr(0, 6), "id=42\n");
    EXPECT_EQ(login("tok-bob"), "unknown token");
    const auto avatar = client.Get("/img/avatars/default.jpg");
    sf::Image picture;
    ASSERT_TRUE(avatar && picture.loadFromMemory(avatar->body.data(), avatar->body.size()));
    EXPECT_EQ(picture.getSize(), sf::Vector2u(128, 128));

    writeUsers(ann + bob);
    kill(pid, SIGHUP);
    EXPECT_TRUE(waitFor([&] { return login("tok-bob").rfind("id=43\n", 0) == 0; })) << log();
    // A broken file leaves the table as it was.
    writeUsers(bob + "tok-cy\t44\t0\tcy\t{Cy}\tCy\t1\tg\t\n");
    kill(pid, SIGHUP);
    EXPECT_TRUE(waitFor([&] { return log().find("reload refused") != std::string::npos; }));
    EXPECT_NE(log().find("line 2: the display holds a brace"), std::string::npos) << log();
    EXPECT_EQ(login("tok-ann").substr(0, 6), "id=42\n");
    EXPECT_EQ(login("tok-cy"), "unknown token");

    kill(pid, SIGTERM);
    EXPECT_EQ(exitStatus(), 0);
    EXPECT_EQ(log().find("tok-"), std::string::npos) << "tokens must stay out of the log:\n" << log();
}

} // namespace

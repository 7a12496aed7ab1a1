// The real brannoc-web on port 80 of the test's private network: start-up refusals, real requests,
// and the users file read again on SIGHUP.
#include <httplib.h>

#include <SFML/Graphics/Image.hpp>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

bool waitFor(const std::function<bool()>& sign, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = Clock::now() + limit;
    while (!sign()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class Service {
public:
    Service(const std::vector<std::string>& args, const std::string& logPath) {
        std::vector<std::string> all{BRANNOC_BUILD_DIR "/brannoc-web"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Service() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool started() const { return pid_ > 0; }
    void signal(int number) { kill(pid_, number); }
    // The exit status, or -1 when it has not ended within the limit.
    int exitStatus() {
        int status = 0;
        if (!waitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }))
            return -1;
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
};

class WebProcess : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/brannoc-web-process-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    // Written aside and renamed, as an editor saving it would, so a reload never sees half a file.
    void writeUsers(const std::string& text, mode_t mode = 0600) {
        const std::string aside = folder + "/users.new";
        std::ofstream(aside) << text;
        chmod(aside.c_str(), mode);
        std::rename(aside.c_str(), users().c_str());
    }
    std::string users() const { return folder + "/users"; }
    std::string log() const { return folder + "/log"; }
    std::string logText() const {
        std::ifstream in(log());
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string folder;
};

std::string login(httplib::Client& client, const std::string& token) {
    const auto result =
        client.Post("/./php/endpoints/stest.php", "token=" + token, "application/x-www-form-urlencoded");
    return result ? result->body : "(no reply)";
}

// The request line exactly as given, for a path no HTTP client library would send.
std::string rawRequest(const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(80);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, 0)) > 0;)
            reply.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    const std::size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? reply : reply.substr(body + 4);
}

const std::string ann = "tok-ann\t42\t1\tann\tAnn\tAnn Lee\t2\tadmins\t\n";
const std::string bob = "tok-bob\t43\t0\tbob\tBob\tBob Ray\t1\tplayers\t\n";

TEST_F(WebProcess, RefusesToStartWithOneClearLine) {
    struct Row {
        std::vector<std::string> args;
        std::string usersText;
        mode_t mode;
        int status;
        const char* says;
    };
    const Row rows[] = {
        {{"--port", "none"}, ann, 0600, 2, "--port needs a number"},
        {{}, ann, 0644, 1, "the users file is a secret"},
        {{}, ann + "tok\t1\t1\tu\t\"d\"\tr\t1\tg\t\n", 0600, 1, "line 2: the display holds a double quote"},
    };
    for (const Row& row : rows) {
        writeUsers(row.usersText, row.mode);
        std::vector<std::string> args{"--users", users()};
        args.insert(args.end(), row.args.begin(), row.args.end());
        Service service(args, log());
        ASSERT_TRUE(service.started());
        EXPECT_EQ(service.exitStatus(), row.status) << row.says;
        const std::string said = logText();
        EXPECT_NE(said.find(row.says), std::string::npos) << said;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    }
}

TEST_F(WebProcess, ServesTheClientAndTakesNewUsersOnHangup) {
    writeUsers(ann);
    Service service({"--users", users()}, log());
    ASSERT_TRUE(service.started());
    httplib::Client client("127.0.0.1", 80);
    client.set_connection_timeout(std::chrono::seconds(2));
    ASSERT_TRUE(waitFor([&] { return static_cast<bool>(client.Get("/")); })) << logText();

    EXPECT_EQ(login(client, "tok-ann"),
              "id=42\nrank=1\nuser=ann\ndisp=Ann\nreal=Ann Lee\nsex=2\ngrps=admins");
    EXPECT_EQ(login(client, "tok-bob"), "unknown token");
    EXPECT_EQ(rawRequest("POST ./php/endpoints/stest.php HTTP/1.0\r\nContent-Length: 13\r\n\r\ntoken=tok-ann")
                  .substr(0, 6),
              "id=42\n");
    const auto avatar = client.Get("/img/avatars/default.jpg");
    ASSERT_TRUE(avatar);
    sf::Image picture;
    ASSERT_TRUE(picture.loadFromMemory(avatar->body.data(), avatar->body.size()));
    EXPECT_EQ(picture.getSize(), sf::Vector2u(128, 128));
    const auto missing = client.Get("/img/avatars/42");
    ASSERT_TRUE(missing);
    EXPECT_FALSE(picture.loadFromMemory(missing->body.data(), missing->body.size()));

    writeUsers(ann + bob);
    service.signal(SIGHUP);
    EXPECT_TRUE(waitFor([&] { return login(client, "tok-bob").rfind("id=43\n", 0) == 0; })) << logText();

    // A broken file leaves the table as it was.
    writeUsers(bob + "tok-cy\t44\t0\tcy\t{Cy}\tCy\t1\tg\t\n");
    service.signal(SIGHUP);
    EXPECT_TRUE(waitFor([&] { return logText().find("reload refused") != std::string::npos; }));
    EXPECT_NE(logText().find("line 2: the display holds a brace"), std::string::npos) << logText();
    EXPECT_EQ(login(client, "tok-ann").substr(0, 6), "id=42\n");
    EXPECT_EQ(login(client, "tok-cy"), "unknown token");

    service.signal(SIGTERM);
    EXPECT_EQ(service.exitStatus(), 0);
    const std::string said = logText();
    EXPECT_EQ(said.find("tok-"), std::string::npos) << "tokens must stay out of the log:\n" << said;
}

} // namespace

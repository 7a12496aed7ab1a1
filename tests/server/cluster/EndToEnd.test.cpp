// Real clients under a private Xvfb reach two brannoc-server processes (sharing one tally in a
// real redis-server) through HAProxy on port 34567, as scripts/cluster runs them. HAProxy talks
// to the servers from 127.0.0.5, the clients connect from 127.0.0.1: the servers' logs must name
// the clients' own address.

#include "tests/server/cluster/Harness.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

extern char** environ;

using namespace cluster;

namespace {

// build/brannoc with its console (standard output) read through a pipe.
class Client {
public:
    Client(const std::string& display, const std::string& errors) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe: " << std::strerror(errno);
            return;
        }
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "DISPLAY=", 8) != 0 && std::strncmp(*e, "ALSOFT_DRIVERS=", 15) != 0)
                env.push_back(*e);
        env.push_back("DISPLAY=" + display);
        env.push_back("ALSOFT_DRIVERS=null");
        std::vector<char*> envp;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string program = BRANNOC_BUILD_DIR "/brannoc";
        char* argv[] = {program.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        fd_ = fds[0];
        EXPECT_EQ(rc, 0) << "cannot start the client: " << std::strerror(rc);
    }
    ~Client() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            reap(pid_);
        }
        ::close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Waits for the count-th console line equal to line.
    bool waitForLine(const std::string& line, std::size_t count = 1) {
        const auto deadline = Clock::now() + patience;
        for (;;) {
            std::size_t seen = 0;
            for (std::size_t pos = 0, end; (end = text_.find('\n', pos)) != std::string::npos; pos = end + 1)
                seen += text_.compare(pos, end - pos, line) == 0;
            if (seen >= count)
                return true;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return false;
            char buffer[4096];
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0)
                return false;
            text_.append(buffer, static_cast<std::size_t>(n));
        }
    }
    const std::string& console() const { return text_; }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string text_;
};

bool accepts(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return up;
}

TEST(EndToEnd, ClientsThroughTheBalancerShareOneTallyAndSurviveTheirServersDeath) {
    char folder[] = "/tmp/brannoc-e2e-test-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string dir = folder;
    std::vector<pid_t> children;
    const auto redisPort = freePort();
    children.push_back(spawn({"redis-server", "--port", std::to_string(redisPort), "--bind", "127.0.0.1",
                              "--dir", dir, "--appendonly", "yes", "--appendfsync", "always", "--save", ""},
                             dir + "/redis.log"));
    ASSERT_TRUE(eventually([&] { return accepts(redisPort); })) << slurp(dir + "/redis.log");

    struct Server {
        pid_t pid;
        std::uint16_t port;
        std::string log;
    };
    std::vector<Server> servers;
    for (int n = 1; n <= 2; ++n) {
        const auto port = freePort();
        const std::string log = dir + "/server-" + std::to_string(n) + ".log";
        servers.push_back({spawn({BRANNOC_BUILD_DIR "/brannoc-server", "--bind", "127.0.0.1", "--port",
                                  std::to_string(port), "--redis", "127.0.0.1:" + std::to_string(redisPort),
                                  "--proxy-from", "127.0.0.5", "--admin-socket",
                                  dir + "/admin-" + std::to_string(n) + ".sock", "--db", dir + "/unused.db"},
                                 log),
                           port, log});
        ASSERT_TRUE(eventually([&] { return linesWith(slurp(log), "listening on") > 0; })) << slurp(log);
    }

    // The repository's configuration, talking to the servers from an address of its own.
    std::ofstream(dir + "/haproxy.cfg")
        << slurp(BRANNOC_SOURCE_DIR "/scripts/haproxy.cfg") << "    source 127.0.0.5\n";
    ::setenv("BRANNOC_LISTEN", "127.0.0.1:34567", 1);
    ::setenv("BRANNOC_SERVER_1", ("127.0.0.1:" + std::to_string(servers[0].port)).c_str(), 1);
    ::setenv("BRANNOC_SERVER_2", ("127.0.0.1:" + std::to_string(servers[1].port)).c_str(), 1);
    children.push_back(spawn({"haproxy", "-f", dir + "/haproxy.cfg", "-db"}, dir + "/haproxy.log"));
    ASSERT_TRUE(eventually([&] { return accepts(34567); })) << slurp(dir + "/haproxy.log");

    children.push_back(spawn({"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
                             dir + "/xvfb.out"));
    std::string display;
    ASSERT_TRUE(eventually([&] {
        display = slurp(dir + "/xvfb.out");
        return display.find('\n') != std::string::npos;
    })) << display;
    display = ":" + display.substr(0, display.find('\n'));

    // Two clients: leastconn puts one on each server.
    const auto whoamis = [&](const Server& server) {
        return linesWith(slurp(server.log), "127.0.0.1:", "whoami");
    };
    auto first = std::make_unique<Client>(display, dir + "/client-1.err");
    ASSERT_TRUE(first->waitForLine("packet thread starting")) << first->console();
    ASSERT_TRUE(eventually([&] { return whoamis(servers[0]) + whoamis(servers[1]) == 1; }));
    auto second = std::make_unique<Client>(display, dir + "/client-2.err");
    ASSERT_TRUE(second->waitForLine("packet thread starting")) << second->console();
    ASSERT_TRUE(eventually([&] { return whoamis(servers[0]) == 1 && whoamis(servers[1]) == 1; }))
        << slurp(servers[0].log) << slurp(servers[1].log);

    // Clicks through the balancer reach the clients of both servers.
    {
        RawClient clicker(34567);
        clicker.expect("userstates");
        for (int i = 0; i < 3; ++i)
            clicker.send(frame("increment"));
        clicker.until(3);
    }
    EXPECT_TRUE(eventually([&] {
        return linesWith(slurp(servers[0].log), ": increment, total 3") +
                   linesWith(slurp(servers[1].log), ": increment, total 3") ==
               1;
    }));

    // One server dies: its client comes back through the balancer to the other one.
    Server& victim = servers[0];
    Server& survivor = servers[1];
    ::kill(victim.pid, SIGKILL);
    reap(std::exchange(victim.pid, -1));
    // Whichever client was on it reconnects: the survivor sees a second whoami.
    EXPECT_TRUE(eventually([&] { return whoamis(survivor) == 2; })) << slurp(survivor.log);
    const bool moved =
        first->waitForLine("packet thread starting", 2) || second->waitForLine("packet thread starting", 2);
    EXPECT_TRUE(moved) << first->console() << second->console();
    {
        // The total is intact: a new client through the balancer gets 3.
        RawClient late(34567);
        EXPECT_EQ(late.expect("deathcount").total, 3);
    }
    // Behind the balancer the logs name the clients, never the balancer.
    EXPECT_EQ(linesWith(slurp(survivor.log), "127.0.0.5"), 0u) << slurp(survivor.log);

    first.reset();
    second.reset();
    ::kill(survivor.pid, SIGTERM);
    const int status = reap(survivor.pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << slurp(survivor.log);
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
        ::kill(*it, SIGTERM);
        reap(*it);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

} // namespace

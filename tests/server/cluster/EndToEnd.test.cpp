// Real clients under a private Xvfb reach two brannoc-server processes (sharing one tally in a
// real redis-server) through HAProxy on port 34567, with the repository's HAProxy configuration.
// HAProxy talks to the servers from 127.0.0.5, the clients connect from 127.0.0.1: the servers'
// logs must name the clients' own address.

#include "tests/server/cluster/Harness.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

using namespace cluster;

namespace {

// build/brannoc (DISPLAY and the sound driver come from the environment) with its console read
// through a pipe.
class Client {
public:
    explicit Client(const std::string& errors) {
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        std::string program = BRANNOC_BUILD_DIR "/brannoc";
        char* argv[] = {program.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        EXPECT_EQ(::posix_spawn(&pid_, argv[0], &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        fd_ = fds[0];
    }
    ~Client() {
        ::kill(pid_, SIGTERM);
        reap(pid_);
        ::close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Waits (with the limit) for the count-th console line equal to line.
    bool waitForLine(const std::string& line, std::size_t count = 1) {
        const auto deadline = Clock::now() + patience;
        while (linesWith(text_, line) < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{fd_, POLLIN, 0};
            char buffer[4096];
            ssize_t n = 0;
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0 ||
                (n = ::read(fd_, buffer, sizeof buffer)) <= 0)
                return false;
            text_.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }
    const std::string& console() const { return text_; }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string text_;
};

using EndToEnd = Stack;

TEST_F(EndToEnd, ClientsThroughTheBalancerShareOneTallyAndSurviveTheirServersDeath) {
    Server& one = startServer({"--proxy-from", "127.0.0.5"});
    Server& two = startServer({"--proxy-from", "127.0.0.5"});
    std::ofstream(dir_ + "/haproxy.cfg")
        << slurp(BRANNOC_SOURCE_DIR "/scripts/haproxy.cfg") << "    source 127.0.0.5\n";
    ::setenv("BRANNOC_LISTEN", "127.0.0.1:34567", 1);
    ::setenv("BRANNOC_SERVER_1", ("127.0.0.1:" + std::to_string(one.port)).c_str(), 1);
    ::setenv("BRANNOC_SERVER_2", ("127.0.0.1:" + std::to_string(two.port)).c_str(), 1);
    helpers_.push_back(spawn({"haproxy", "-f", dir_ + "/haproxy.cfg", "-db"}, dir_ + "/haproxy.log"));
    ASSERT_TRUE(eventually([&] { return accepts(34567); })) << slurp(dir_ + "/haproxy.log");
    helpers_.push_back(spawn({"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
                             dir_ + "/xvfb.out"));
    std::string display;
    ASSERT_TRUE(
        eventually([&] { return (display = slurp(dir_ + "/xvfb.out")).find('\n') != std::string::npos; }));
    ::setenv("DISPLAY", (":" + display.substr(0, display.find('\n'))).c_str(), 1);
    ::setenv("ALSOFT_DRIVERS", "null", 1);

    // Two clients: leastconn puts one on each server, each named by its own address.
    const auto whoamis = [&](const Server& server) {
        return linesWith(slurp(server.log), "127.0.0.1:", "whoami");
    };
    auto first = std::make_unique<Client>(dir_ + "/client-1.err");
    ASSERT_TRUE(first->waitForLine("packet thread starting"))
        << first->console() << slurp(dir_ + "/client-1.err") << slurp(dir_ + "/xvfb.out");
    ASSERT_TRUE(eventually([&] { return whoamis(one) + whoamis(two) == 1; }));
    auto second = std::make_unique<Client>(dir_ + "/client-2.err");
    ASSERT_TRUE(second->waitForLine("packet thread starting")) << second->console();
    ASSERT_TRUE(eventually([&] { return whoamis(one) == 1 && whoamis(two) == 1; }))
        << slurp(one.log) << slurp(two.log);

    // Increments through the balancer make one total, whichever server takes them.
    {
        RawClient clicker(34567);
        for (int i = 0; i < 3; ++i)
            clicker.send(frame("increment"));
        clicker.until(3);
    }
    // One server dies: its client comes back through the balancer to the other, total intact.
    ::kill(one.pid, SIGKILL);
    reap(std::exchange(one.pid, -1));
    EXPECT_TRUE(eventually([&] { return whoamis(two) == 2; })) << slurp(two.log);
    EXPECT_TRUE(first->waitForLine("packet thread starting", 2) ||
                second->waitForLine("packet thread starting", 2))
        << first->console() << second->console();
    RawClient late(34567);
    EXPECT_EQ(late.expect("deathcount").total, 3);
    EXPECT_EQ(linesWith(slurp(two.log), "127.0.0.5"), 0u) << slurp(two.log);
}

} // namespace

#include "tests/server/cluster/Harness.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace cluster {

namespace {

bool decode(const std::string& data, Packet& packet) {
    packet = Packet{};
    wire::Reader reader(data);
    if (!reader.str(packet.name))
        return false;
    if (packet.name == "deathcount")
        return reader.u16(packet.total) && reader.atEnd();
    if (packet.name == "deathindex" || packet.name == "userstates") {
        std::uint16_t n = 0;
        if (!reader.u16(n))
            return false;
        packet.entries.resize(n);
        for (auto& [user, display, value] : packet.entries)
            if (!reader.str(user) || !reader.str(display) || !reader.u16(value))
                return false;
    }
    return reader.atEnd();
}

} // namespace

int Packet::valueOf(const std::string& user) const {
    for (const auto& [key, display, value] : entries)
        if (key == user)
            return value;
    return -1;
}

std::string frame(const std::string& name) {
    return wire::Writer(name).frame();
}

std::string whoami(const std::string& user, const std::string& display) {
    return wire::Writer("whoami").str(user).str(display).frame();
}

RawClient::RawClient(std::uint16_t port, const std::string& from) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in local{AF_INET, 0, {}, {}};
    sockaddr_in server{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    socklen_t size = sizeof local;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size) != 0)
        ADD_FAILURE() << "cannot connect to " << port << ": " << std::strerror(errno);
    peer_ = from + ":" + std::to_string(ntohs(local.sin_port));
}

RawClient::~RawClient() {
    ::close(fd_);
}

void RawClient::send(const std::string& bytes) {
    lastSend_ = Clock::now();
    if (::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
        ADD_FAILURE() << peer_ << ": send failed: " << std::strerror(errno);
}

bool RawClient::next(Packet& packet, Clock::time_point deadline) {
    std::string data;
    for (;;) {
        const auto status = frames_.next(data);
        if (status == wire::FrameReader::Status::Frame) {
            EXPECT_TRUE(decode(data, packet)) << peer_ << ": malformed " << packet.name;
            return true;
        }
        if (status == wire::FrameReader::Status::TooLarge || closed_)
            return false;
        // Like a real client, ping every 2 s, so that a long wait is not taken for a dead peer.
        if (Clock::now() - lastSend_ >= 2s)
            send(frame("ping"));
        const auto left = std::min<Clock::duration>(deadline - Clock::now(), 1s);
        pollfd p{fd_, POLLIN, 0};
        const int ready =
            ::poll(&p, 1,
                   static_cast<int>(std::max<long long>(
                       std::chrono::duration_cast<std::chrono::milliseconds>(left).count(), 0)));
        if (ready == 0 && Clock::now() >= deadline)
            return false;
        if (ready == 0)
            continue;
        if (ready < 0)
            continue;
        char buffer[8192];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n > 0)
            frames_.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR)
            closed_ = true;
    }
}

Packet RawClient::expect(const std::string& name) {
    const auto seen = readUntil([&](const Packet& p) { return p.name == name; }, name);
    return seen.empty() ? Packet{} : seen.back();
}

std::vector<Packet> RawClient::until(std::uint16_t total) {
    return readUntil([&](const Packet& p) { return p.name == "deathcount" && p.total == total; },
                     "deathcount " + std::to_string(total));
}

void RawClient::ping() {
    send(frame("ping"));
    expect("pong");
}

bool RawClient::closedByServer() {
    Packet ignored;
    const auto deadline = Clock::now() + patience;
    while (next(ignored, deadline)) {
    }
    return closed_;
}

std::string slurp(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

std::size_t linesWith(const std::string& text, const std::string& a, const std::string& b) {
    std::istringstream in(text);
    std::size_t n = 0;
    for (std::string line; std::getline(in, line);)
        n += line.find(a) != std::string::npos && line.find(b) != std::string::npos;
    return n;
}

pid_t spawn(const std::vector<std::string>& args, const std::string& output) {
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& arg : copy)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(rc, 0) << "posix_spawn " << args[0] << ": " << std::strerror(rc);
    return rc == 0 ? pid : -1;
}

int reap(pid_t pid) {
    int status = 0;
    if (pid > 0 && !eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; })) {
        ADD_FAILURE() << "process " << pid << " did not end in time";
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    return status;
}

std::uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool accepts(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return up;
}

void Stack::SetUp() {
    char folder[] = "/tmp/brannoc-cluster-test-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    dir_ = folder;
    redisPort_ = freePort();
    ASSERT_NO_FATAL_FAILURE(startRedis());
}

void Stack::TearDown() {
    for (const pid_t pid : helpers_) {
        ::kill(pid, SIGTERM);
        reap(pid);
    }
    for (auto& server : servers_) {
        if (server->pid > 0) {
            ::kill(server->pid, SIGTERM);
            const int status = reap(std::exchange(server->pid, -1));
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "SIGTERM: " << slurp(server->log);
        }
        EXPECT_EQ(linesWith(slurp(server->log), "Sanitizer"), 0u) << slurp(server->log);
    }
    stopRedis(SIGTERM);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void Stack::startRedis() {
    redis_ = spawn({"redis-server", "--port", std::to_string(redisPort_), "--bind", "127.0.0.1", "--dir",
                    dir_, "--appendonly", "yes", "--appendfsync", "always", "--save", ""},
                   dir_ + "/redis.log");
    ASSERT_TRUE(eventually([&] { return accepts(redisPort_); })) << slurp(dir_ + "/redis.log");
}

void Stack::stopRedis(int signal) {
    if (redis_ > 0) {
        ::kill(redis_, signal);
        reap(std::exchange(redis_, -1));
    }
}

Server& Stack::startServer(std::vector<std::string> extra) {
    auto server = std::make_unique<Server>();
    const auto n = std::to_string(servers_.size() + 1);
    server->port = freePort();
    server->log = dir_ + "/server-" + n + ".log";
    server->admin = dir_ + "/admin-" + n + ".sock";
    const std::string redis = "127.0.0.1:" + std::to_string(redisPort_);
    std::vector<std::string> args{BRANNOC_BUILD_DIR "/brannoc-server", "--bind", "127.0.0.1", "--redis",
                                  redis};
    args.insert(args.end(), {"--port", std::to_string(server->port), "--admin-socket", server->admin});
    args.insert(args.end(), extra.begin(), extra.end());
    server->pid = spawn(args, server->log);
    EXPECT_TRUE(eventually([&] { return linesWith(slurp(server->log), "listening on") > 0; }))
        << "did not start: " << slurp(server->log);
    servers_.push_back(std::move(server));
    return *servers_.back();
}

int Stack::admin(const Server& server, std::vector<std::string> command, std::string* output) {
    command.insert(command.begin(), {BRANNOC_BUILD_DIR "/brannoc-server", "--admin-socket", server.admin});
    const std::string out = dir_ + "/admin.out";
    std::filesystem::remove(out);
    const int status = reap(spawn(command, out));
    if (output)
        *output = slurp(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Stack::waitForLog(const Server& server, const std::string& a, const std::string& b) {
    EXPECT_TRUE(eventually([&] { return linesWith(slurp(server.log), a, b) > 0; }))
        << "no \"" << a << "\" \"" << b << "\" in:\n"
        << slurp(server.log);
}

} // namespace cluster

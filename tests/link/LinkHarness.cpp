#include "tests/link/LinkHarness.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

StdoutCapture::StdoutCapture() {
    char name[] = "/tmp/brannoc-link-stdout-XXXXXX";
    const int fd = mkstemp(name);
    path_ = name;
    std::fflush(stdout);
    saved_ = dup(1);
    dup2(fd, 1);
    close(fd);
}

StdoutCapture::~StdoutCapture() {
    const std::vector<std::string> captured = lines();
    dup2(saved_, 1);
    close(saved_);
    std::remove(path_.c_str());
    // The test's own failure messages went to the file too.
    if (testing::Test::HasFailure())
        for (const std::string& line : captured)
            std::printf("%s\n", line.c_str());
}

std::vector<std::string> StdoutCapture::lines() const {
    std::fflush(stdout);
    std::ifstream file(path_);
    std::vector<std::string> result;
    for (std::string line; std::getline(file, line);)
        result.push_back(line);
    return result;
}

int StdoutCapture::count(const std::string& line) const {
    const std::vector<std::string> all = lines();
    return static_cast<int>(std::count(all.begin(), all.end(), line));
}

std::int64_t fakeNow = 0;
void useFakeClock(bool fake) {
    Stopwatch::clock = fake ? +[] { return fakeNow; } : &Stopwatch::steadyNow;
}

void resetLink() {
    RealtimeLink::shutdown();
    RealtimeLink::startThread = &RealtimeLink::startNamedThread;
    RealtimeLink::resolveHost = &RealtimeLink::resolveRealtimeHost;
    RealtimeLink::sendStallLimitMs = 2000;
    RealtimeLink::quitRequested = false;
    RealtimeLink::connected = false;
    RealtimeLink::reconnectPending = false;
    RealtimeLink::connectPhase = RealtimeLink::Connecting;
    RealtimeLink::deathTotal = -1;
    RealtimeLink::pingMs = 0;
    RealtimeLink::pingTimer = PingTimer{};
    RealtimeLink::disconnectSocket();
    std::lock_guard<std::mutex> lock(RealtimeLink::stateMutex);
    RealtimeLink::roundTripClock = Stopwatch{};
    RealtimeLink::lastDeathClock = Stopwatch{};
    UserStateTable::entries.clear();
    statusText.clear();
    headerTargetColour = HeaderColour{140.f, 140.f, 140.f};
}

bool threadNamed(const std::string& name) {
    DIR* tasks = opendir("/proc/self/task");
    bool found = false;
    while (dirent* task = readdir(tasks)) {
        std::ifstream comm(std::string("/proc/self/task/") + task->d_name + "/comm");
        std::string line;
        found = found || (std::getline(comm, line) && line == name);
    }
    closedir(tasks);
    return found;
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit,
               std::chrono::milliseconds step) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

bool runFrames(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    return waitUntil(
        [&] {
            if (done())
                return true;
            RealtimeLink::handOverStep();
            RealtimeLink::reconnectStep();
            RealtimeLink::timeOutCheck();
            return false;
        },
        limit, 16ms);
}

ScriptedServer::ScriptedServer(int backlog, int receiveBuffer) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (receiveBuffer > 0)
        setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address = realtimeAddress();
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, backlog) != 0)
        std::perror("scripted server");
    thread_ = std::thread([this] { serve(); });
}

ScriptedServer::~ScriptedServer() {
    stop_ = true;
    thread_.join();
    if (connection_ >= 0)
        close(connection_);
    close(listener_);
}

void ScriptedServer::serve() {
    std::string pending;
    while (!stop_) {
        pollfd fds[2] = {{accepting_ ? listener_ : -1, POLLIN, 0}, {-1, POLLIN, 0}};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            fds[1].fd = reading_ ? connection_ : -1;
        }
        if (poll(fds, 2, 5) <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            std::lock_guard<std::mutex> lock(mutex_);
            if (connection_ >= 0)
                close(connection_);
            connection_ = fd;
            pending.clear();
            ++accepted_;
        }
        if (fds[1].revents)
            readFrom(fds[1].fd, pending);
    }
}

void ScriptedServer::readFrom(int fd, std::string& pending) {
    char buffer[4096];
    const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    std::lock_guard<std::mutex> lock(mutex_);
    if (got <= 0) {
        if (got == 0 || errno == ECONNRESET) {
            sawCutPacket_ = sawCutPacket_ || !pending.empty();
            if (connection_ == fd) {
                close(connection_);
                connection_ = -1;
            }
            ++closedByClient_;
        }
        return;
    }
    pending.append(buffer, static_cast<std::size_t>(got));
    while (pending.size() >= 4) {
        std::uint32_t length = 0;
        std::memcpy(&length, pending.data(), 4);
        length = ntohl(length);
        if (pending.size() < 4 + length)
            break;
        std::string body = pending.substr(4, length);
        pending.erase(0, 4 + length);
        if (body == pingPayload) {
            const std::vector<char> pong = RealtimeProtocol::frame(serverPacket("pong"));
            ::send(fd, pong.data(), pong.size(), MSG_NOSIGNAL);
        }
        received_.push_back(std::move(body));
    }
}

std::vector<std::string> ScriptedServer::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

bool ScriptedServer::waitForReceived(const std::string& wanted, int times, std::chrono::milliseconds limit) {
    return waitUntil(
        [&] {
            const std::vector<std::string> all = received();
            return std::count(all.begin(), all.end(), wanted) >= times;
        },
        limit);
}

void ScriptedServer::sendBytes(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    ::send(connection_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void ScriptedServer::send(const sf::Packet& packet) {
    const std::vector<char> bytes = RealtimeProtocol::frame(packet);
    sendBytes(std::string(bytes.begin(), bytes.end()));
}

void ScriptedServer::closeConnection() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (connection_ >= 0)
        close(connection_);
    connection_ = -1;
}

sockaddr_in realtimeAddress() {
    return sockaddr_in{AF_INET, htons(34567), {htonl(INADDR_LOOPBACK)}, {}};
}

std::string payload(const sf::Packet& packet) {
    return std::string(static_cast<const char*>(packet.getData()), packet.getDataSize());
}

const std::string guestWhoami = payload(RealtimeProtocol::whoami("Guest", "Guest"));
const std::string pingPayload = payload(RealtimeProtocol::ping());

sf::Packet serverPacket(const std::string& name) {
    sf::Packet packet;
    packet << name;
    return packet;
}

void connectAsGuest(ScriptedServer& server) {
    RealtimeLink::startUp();
    ASSERT_TRUE(runFrames([] { return RealtimeLink::connectPhase == RealtimeLink::HandedOver; }));
    ASSERT_TRUE(RealtimeLink::connected);
    ASSERT_TRUE(server.waitForReceived(guestWhoami, 1));
}

std::string shown() {
    std::lock_guard<std::mutex> lock(RealtimeLink::stateMutex);
    const HeaderColour c = headerTargetColour;
    return statusText + " " + std::to_string(int(c.r)) + " " + std::to_string(int(c.g)) + " " +
           std::to_string(int(c.b));
}

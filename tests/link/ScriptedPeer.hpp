#pragma once

#include "link/Connection.hpp"
#include "link/FrameReader.hpp"
#include "link/PacketThread.hpp"
#include "link/RealtimeLink.hpp"
#include "link/StatusDisplay.hpp"
#include "link/UserStateTable.hpp"
#include "tests/support/WireVectors.hpp"
#include "web/UserProfile.hpp"

#include <arpa/inet.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace std::literals;
using namespace RealtimeLink;

inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    for (const auto end = std::chrono::steady_clock::now() + limit; !done(); std::this_thread::sleep_for(5ms))
        if (std::chrono::steady_clock::now() > end)
            return false;
    return true;
}

// As waitUntil (for up to 10 s), running the frame loop's link steps at each look.
inline bool runFrames(const std::function<bool()>& done) {
    return waitUntil([&] { return done() || (handOverStep(), reconnectStep(), timeOutCheck(), false); }, 10s);
}

inline std::string framed(const sf::Packet& packet) {
    const std::vector<char> bytes = RealtimeProtocol::frame(packet);
    return {bytes.begin(), bytes.end()};
}

inline const std::string pingFrame = wirevectors::all()[0].frame,
                         incrementFrame = wirevectors::all()[1].frame,
                         guestWhoami = wirevectors::all()[2].frame;

// The realtime server doing what a real one never does, on the test's thread: it serves the newest connection
// and records each whole frame, but only while counting, so a test stalls it by not counting.
class ScriptedPeer {
public:
    explicit ScriptedPeer(int backlog = 16) {
        const sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        const int yes = 1;
        const timeval sendLimit{5, 0}; // kept by each accepted connection
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        setsockopt(listener_, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
        EXPECT_FALSE(bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) ||
                     listen(listener_, backlog));
    }
    ~ScriptedPeer() { close(), ::close(listener_); }
    // Whole frames received on every connection, or those equal to frame.
    long count(const std::string& frame = {}) {
        look();
        return frame.empty() ? long(frames_.size()) : std::count(frames_.begin(), frames_.end(), frame);
    }
    // Blocks until all is sent, the connection ends or it takes nothing for 5 s.
    void send(const std::string& bytes) { ::send(connection_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    void send(const sf::Packet& packet) { send(framed(packet)); }
    void close() { connection_ = (::close(connection_), raw_.clear(), reader_.clear(), -1); }

    bool accepting = true;
    int accepted = 0, closedByClient = 0;

private:
    void look() {
        for (int fd; accepting && (fd = accept4(listener_, nullptr, nullptr, 0)) >= 0; ++accepted)
            close(), connection_ = fd;
        static char chunk[1 << 16];
        ssize_t got = 1;
        while (connection_ >= 0 && (got = recv(connection_, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
            for (ssize_t at = 0; at < got; ++at)
                if (raw_ += chunk[at], reader_.take(chunk + at, 1) == FrameReader::Progress::Whole)
                    frames_.push_back(std::exchange(raw_, {})), reader_.clear();
        if (got == 0 || (got < 0 && errno == ECONNRESET)) { // the client has closed its end
            ++closedByClient;
            close();
        }
    }

    int listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0), connection_ = -1;
    FrameReader reader_;
    std::string raw_;
    std::vector<std::string> frames_;
};

constexpr std::int64_t ms = 1000000;
// What the link's clock reads in every test: it stands still unless the test moves it.
inline std::atomic<std::int64_t> fakeNow{Stopwatch::steadyNow()};

// Each test runs in a process of its own (one CTest test per case) and ends with the link's threads stopped.
// Standard output, where the link writes its console lines, goes to a file meanwhile.
class LinkTest : public testing::Test {
protected:
    ~LinkTest() override { std::fclose(console_); }
    void SetUp() override {
        std::fflush(stdout), dup2(fileno(console_), 1);
        setenv("ALSOFT_DRIVERS", "null", 1); // no sound card: a bell shows as console lines
        Stopwatch::clock = [] { return fakeNow.load(); };
        pingTimer = PingTimer{fakeNow - 10 * ms, 0};
    }
    void TearDown() override {
        shutdown(), std::fflush(stdout), dup2(saved_, 1);
        if (HasFailure()) // the test's own messages went there too
            std::fputs(console().c_str(), stdout);
    }
    std::string console() const {
        std::ifstream in("/proc/self/fd/" + std::to_string(fileno(console_)));
        return {std::istreambuf_iterator<char>(in), {}};
    }
    long lines(const std::string& line) const {
        const std::string all = "\n" + console(), wanted = "\n" + line + "\n";
        long found = 0;
        for (auto at = all.find(wanted); at != std::string::npos; at = all.find(wanted, at + 1))
            ++found;
        return found;
    }
    static bool handedOverAndConnected() { return connectPhase == HandedOver && connected; }
    // The status text and the header colour, as "text r g b".
    static std::string shown() {
        std::lock_guard<std::mutex> lock(stateMutex);
        const HeaderColour c = headerTargetColour;
        return statusText + " " + std::to_string(int(c.r)) + " " + std::to_string(int(c.g)) + " " +
               std::to_string(int(c.b));
    }
    // An ioctl query (FIONREAD, SIOCOUTQ) on the client's socket; -1 while it has none.
    static int clientSocketQuery(unsigned long request) {
        // sf::Socket keeps its handle to itself; a member pointer taken through a derived class reads it.
        struct HandleOf : sf::TcpSocket {
            static int of(const sf::TcpSocket& tcp) { return (tcp.*&HandleOf::getHandle)(); }
        };
        std::lock_guard<std::mutex> lock(socketMutex);
        int bytes = -1;
        return ioctl(HandleOf::of(RealtimeLink::socket), request, &bytes) == 0 ? bytes : -1;
    }
    static sf::Packet total(sf::Uint16 n) { return sf::Packet() << "deathcount" << n; }
    static void repeat(int times, void (*send)()) {
        while (times-- > 0)
            send();
    }
    static long usersOnline() {
        std::lock_guard<std::mutex> lock(stateMutex);
        return std::count_if(UserStateTable::entries.begin(), UserStateTable::entries.end(),
                             [](const auto& user) { return user.second.state != 0; });
    }

private:
    std::FILE* console_ = std::tmpfile();
    int saved_ = dup(1);
};

#pragma once

#include "link/Connection.hpp"
#include "link/RealtimeLink.hpp"
#include "link/RealtimeProtocol.hpp"
#include "link/StatusDisplay.hpp"
#include "link/UserStateTable.hpp"
#include "web/UserProfile.hpp"

#include <SFML/Network/Packet.hpp>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

// Standard output redirected to a file for the life of the object, so both link threads' console
// lines can be read back while they run.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    std::vector<std::string> lines() const;
    int count(const std::string& line) const;

private:
    int saved_ = -1;
    std::string path_;
};

// The link's process-wide state back to its start values; stops any link thread first.
void resetLink();

constexpr std::int64_t ms = 1000000;
// Stopwatch::clock reads fakeNow while this holds; otherwise the steady clock.
extern std::int64_t fakeNow;
void useFakeClock(bool fake);

// Each test starts and ends with the link reset, the guest signed in and the steady clock.
class LinkTest : public testing::Test {
protected:
    void SetUp() override { resetLink(); }
    void TearDown() override {
        resetLink();
        currentUser = UserProfile{};
        useFakeClock(false);
    }

    StdoutCapture out;
};

// Whether a thread of this process carries the name.
bool threadNamed(const std::string& name);

// Polls done() every step until it holds (true) or the time is up (false).
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s,
               std::chrono::milliseconds step = 5ms);

// As waitUntil, running the link's per-frame steps (hand-over, reconnect, time-out) every 16 ms.
bool runFrames(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s);

// The realtime server's side, scripted by the test: listens on 127.0.0.1:34567, keeps the newest
// connection, records each whole packet it receives and answers "ping" with "pong".
class ScriptedServer {
public:
    // receiveBuffer: SO_RCVBUF for accepted connections; 0 keeps the default.
    explicit ScriptedServer(int backlog = 16, int receiveBuffer = 0);
    ~ScriptedServer();

    // Payloads received so far on every connection, in order.
    std::vector<std::string> received() const;
    bool waitForReceived(const std::string& payload, int times, std::chrono::milliseconds limit = 5s);
    int accepted() const { return accepted_; }
    // Connections that the client has closed.
    int closedByClient() const { return closedByClient_; }
    // Set when a connection ended in the middle of a packet.
    bool sawCutPacket() const { return sawCutPacket_; }

    void sendBytes(const std::string& bytes);
    void send(const sf::Packet& packet);
    void closeConnection();
    void setReading(bool reading) { reading_ = reading; }
    void setAccepting(bool accepting) { accepting_ = accepting; }

private:
    void serve();
    void readFrom(int fd, std::string& pending);

    int listener_ = -1;
    int connection_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<bool> reading_{true};
    std::atomic<bool> accepting_{true};
    std::atomic<int> accepted_{0};
    std::atomic<int> closedByClient_{0};
    std::atomic<bool> sawCutPacket_{false};
    mutable std::mutex mutex_; // connection_ writes and received_
    std::vector<std::string> received_;
    std::thread thread_;
};

// The payload of a client packet, as the server reads it.
std::string payload(const sf::Packet& packet);
extern const std::string guestWhoami, pingPayload;

// Start-up and hand-over as the entry and the frame loop do them, until the guest's "whoami" has
// reached the server. Fails the test (fatally) when it does not get that far.
void connectAsGuest(ScriptedServer& server);

// The status text and the header colour, as "text r g b".
std::string shown();

// 127.0.0.1 on the realtime port.
sockaddr_in realtimeAddress();

// A server packet holding just its name; callers stream the other fields after it.
sf::Packet serverPacket(const std::string& name);

#include "link/RealtimeLink.hpp"

#include "link/FrameReader.hpp"
#include "link/RealtimeProtocol.hpp"

#include <SFML/Network/SocketSelector.hpp>

#include <chrono>
#include <pthread.h>
#include <system_error>

bool PingTimer::due() const {
    return (Stopwatch::clock() - start) / 1000000 > intervalMs;
}

void PingTimer::set(std::int32_t newIntervalMs) {
    intervalMs = newIntervalMs;
    start = Stopwatch::clock();
}

std::int64_t PingTimer::nanosUntilDue() const {
    // Due once the whole milliseconds exceed the interval, i.e. from interval + 1 ms on.
    const std::int64_t dueAt = start + (static_cast<std::int64_t>(intervalMs) + 1) * 1000000;
    return dueAt - Stopwatch::clock();
}

namespace RealtimeLink {

sf::TcpSocket socket;
std::thread connectThread;
std::thread packetThread;

std::atomic<bool> connected{false};
std::atomic<bool> reconnectPending{false};
std::atomic<bool> quitRequested{false};
std::atomic<std::int32_t> connectPhase{Connecting};

std::atomic<std::int32_t> deathTotal{-1};
std::atomic<std::int32_t> pingMs{0};

std::mutex stateMutex;
Stopwatch roundTripClock;
bool pingUnanswered = false;
Stopwatch lastDeathClock;

PingTimer pingTimer;

std::mutex socketMutex;
std::mutex sendMutex;

std::int32_t sendStallLimitMs = 2000;

bool (*startThread)(std::thread&, const char*, void (*)()) = &startNamedThread;

namespace {

// The library offers no wait for a socket to drain; a short sleep between retries keeps a stalled
// send off the core while still resuming within a couple of milliseconds of the peer reading.
constexpr auto sendRetryPause = std::chrono::milliseconds(2);

// The frame being received on socket; guarded by socketMutex and dropped with each disconnect.
FrameReader incoming;

} // namespace

bool sendWhole(const sf::Packet& packet) {
    // The frame is built here rather than by TcpSocket::send(Packet&), so the resume offset is ours
    // and a retry can never start the packet over or skip bytes.
    const std::vector<char> bytes = RealtimeProtocol::frame(packet);
    std::lock_guard<std::mutex> whole(sendMutex);

    std::size_t offset = 0;
    std::int64_t lastProgress = Stopwatch::steadyNow();
    for (;;) {
        sf::Socket::Status status;
        std::size_t sent = 0;
        {
            std::lock_guard<std::mutex> lock(socketMutex);
            status = socket.send(bytes.data() + offset, bytes.size() - offset, sent);
        }
        if (status == sf::Socket::Done)
            return true;
        if (status != sf::Socket::Partial && status != sf::Socket::NotReady)
            return false;

        const std::int64_t now = Stopwatch::steadyNow();
        if (sent > 0) {
            offset += sent;
            lastProgress = now;
        }
        if (quitRequested)
            return false;
        if ((now - lastProgress) / 1000000 >= sendStallLimitMs) {
            // Half a packet would corrupt the stream for the server; a closed connection does not.
            disconnectSocket();
            return false;
        }
        std::this_thread::sleep_for(sendRetryPause);
    }
}

sf::Socket::Status receive(sf::Packet& packet) {
    // The library's own packet receive trusts any announced size and grows toward it, so the
    // framing is read here, as the sends write it.
    std::lock_guard<std::mutex> lock(socketMutex);
    char chunk[16384];
    for (;;) {
        std::size_t got = 0;
        const sf::Socket::Status status = socket.receive(chunk, incoming.wanted(sizeof chunk), got);
        if (got > 0) {
            const FrameReader::Progress progress = incoming.take(chunk, got);
            if (progress == FrameReader::Progress::TooLarge) {
                // No server of ours sends that much: the stream is not one to stay on.
                socket.disconnect();
                incoming.clear();
                return sf::Socket::Disconnected;
            }
            if (progress == FrameReader::Progress::Whole) {
                packet.clear();
                packet.append(incoming.body().data(), incoming.body().size());
                incoming.clear();
                return sf::Socket::Done;
            }
        }
        if (status != sf::Socket::Done)
            return status;
    }
}

void disconnectSocket() {
    std::lock_guard<std::mutex> lock(socketMutex);
    socket.disconnect();
    incoming.clear();
}

bool waitForData(int milliseconds) {
    sf::SocketSelector selector;
    {
        std::lock_guard<std::mutex> lock(socketMutex);
        selector.add(socket);
    }
    // Outside the lock: a disconnect meanwhile only ends the wait early or lets it run its course.
    return selector.wait(sf::milliseconds(milliseconds));
}

bool startNamedThread(std::thread& thread, const char* name, void (*body)()) {
    try {
        thread = std::thread([name, body] {
            pthread_setname_np(pthread_self(), name);
            body();
        });
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

} // namespace RealtimeLink

#include "link/Connection.hpp"

#include "link/PacketThread.hpp"
#include "link/RealtimeLink.hpp"
#include "link/RealtimeProtocol.hpp"
#include "link/UserStateTable.hpp"
#include "media/ConsoleLog.hpp"
#include "web/UserProfile.hpp"

#include <atomic>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>

#ifndef BRANNOC_REALTIME_HOST
#define BRANNOC_REALTIME_HOST "localhost"
#endif

namespace RealtimeLink {

sf::IpAddress (*resolveHost)() = &resolveRealtimeHost;

namespace {

constexpr std::int32_t timeOutMs = 2000;
constexpr std::int32_t pingIntervalMs = 2000;
// How often a connect under way looks at the quit flag; the attempt itself has no time limit.
constexpr int quitCheckMs = 20;

// Who has the attempt under way: its connect thread while it resolves, then the socket; or the
// shutdown, which gives up on an attempt still resolving. A connect thread given up on touches
// nothing but this flag, which like every atomic here outlives the program's other objects.
enum AttemptStage : int { Resolving, UsingSocket, Abandoned };
std::atomic<int> attemptStage{Resolving};

// A connect thread that could not be started ends its attempt at once, unsuccessfully.
void startConnectAttempt() {
    attemptStage = Resolving;
    if (!startThread(connectThread, "brannoc-connect", &connectToServer)) {
        connected = false;
        connectPhase = AttemptEnded;
    }
}

void joinQuietly(std::thread& thread) {
    if (!thread.joinable())
        return;
    try {
        thread.join();
    } catch (const std::system_error&) {
        // Nothing left to wait for; the shutdown and the steps go on.
    }
}

// sf::Socket keeps its handle to itself; a member pointer taken through a derived class reads it
// without a cast.
struct SocketHandleOf : sf::TcpSocket {
    static sf::SocketHandle of(const sf::TcpSocket& tcp) { return (tcp.*&SocketHandleOf::getHandle)(); }
};

// Connects the socket for as long as the system keeps trying, but gives up as soon as quit is
// requested. On success the socket is left non-blocking, as the packet thread wants it.
bool connectUnlessQuit(const sf::IpAddress& address) {
    sf::SocketHandle handle;
    {
        // The socket is this thread's alone while the phase is Connecting; the lock only keeps the
        // quick calls apart from a stray send.
        std::lock_guard<std::mutex> lock(socketMutex);
        socket.setBlocking(false);
        const sf::Socket::Status status = socket.connect(address, port, sf::Time::Zero);
        if (status == sf::Socket::Done)
            return true;
        if (status != sf::Socket::NotReady)
            return false;
        handle = SocketHandleOf::of(socket);
    }
    pollfd pending{handle, POLLOUT, 0};
    for (;;) {
        if (quitRequested)
            return false;
        const int ready = poll(&pending, 1, quitCheckMs);
        if (ready > 0)
            break;
        if (ready < 0 && errno != EINTR)
            return false;
    }
    int error = 0;
    socklen_t size = sizeof error;
    return getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

} // namespace

sf::IpAddress resolveRealtimeHost() {
    return sf::IpAddress(BRANNOC_REALTIME_HOST);
}

void connectToServer() {
    // The name lookup cannot be cut short, so it comes before anything shared is touched: a
    // shutdown meanwhile gives up on this thread instead of waiting for it.
    sf::IpAddress address;
    try {
        address = resolveHost();
    } catch (...) {
        // A lookup that fails in any way leaves no address.
    }
    int expected = Resolving;
    if (!attemptStage.compare_exchange_strong(expected, UsingSocket))
        return;

    bool ok = false;
    try {
        disconnectSocket();
        ok = address != sf::IpAddress::None && connectUnlessQuit(address);
        if (!ok)
            disconnectSocket();
    } catch (...) {
        // An attempt that fails in any way is a failed attempt; the next one starts from a closed socket.
        ok = false;
    }
    connected = ok;
    connectPhase = AttemptEnded;
}

void startUp() {
    startConnectAttempt();
}

void handOverStep() {
    if (connectPhase != AttemptEnded)
        return;
    joinQuietly(connectThread);
    if (reconnectPending && !connected) {
        connectPhase = HandedOver;
        return;
    }

    ConsoleLog::writeLine("packet thread starting");
    if (!startThread(packetThread, "brannoc-packets", &runPacketLoop)) {
        // Without a packet thread the connection cannot be served: treat it as a failed attempt.
        if (connected) {
            connected = false;
            disconnectSocket();
        }
        if (reconnectPending) {
            connectPhase = HandedOver;
            return;
        }
    }
    connectPhase = HandedOver;
    sendWhoami();
    refreshStatusDisplay();
    reconnectPending = false;
}

void reconnectStep() {
    if (!reconnectPending || connected || connectPhase != HandedOver)
        return;
    ConsoleLog::writeLine("Attempting to reconnect...");
    connectPhase = Connecting;
    joinQuietly(packetThread);
    startConnectAttempt();
}

bool timedOut(std::int32_t elapsedMs, bool unanswered, bool isConnected) {
    if (elapsedMs <= timeOutMs)
        return false;
    // The next ping is due as the clock passes the limit, so a ping that leaves a moment late on a
    // busy machine would otherwise end a healthy link.
    if (isConnected && !unanswered)
        return elapsedMs > timeOutMs + pingIntervalMs;
    return true;
}

void timeOutCheck() {
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        const auto elapsedMs = static_cast<std::int32_t>(roundTripClock.elapsedSeconds() * 1000.0);
        if (!timedOut(elapsedMs, pingUnanswered, connected))
            return;
        // Cleared under the lock, so the packet thread cannot restart the clock after the reset.
        connected = false;
        reconnectPending = true;
        UserStateTable::markAllOffline();
        roundTripClock.resetStopped();
        pingUnanswered = false;
    }
    ConsoleLog::writeLine("Timed out, attempting to reconnect");
    // A connect thread at work owns the socket; its attempt ends by itself.
    if (connectPhase != Connecting)
        disconnectSocket();
}

void shutdown() {
    quitRequested = true;
    if (connectThread.joinable()) {
        // A connect ends within moments of the quit flag; a name lookup cannot be hurried, so a
        // thread still in one is left to finish alone.
        int expected = Resolving;
        if (attemptStage.compare_exchange_strong(expected, Abandoned))
            connectThread.detach();
        else
            joinQuietly(connectThread);
    }
    joinQuietly(packetThread);
}

} // namespace RealtimeLink

void sendWhoami() {
    const std::string userName = currentUser.userName;
    const std::string displayName = currentUser.displayName;
    RealtimeLink::sendWhole(RealtimeProtocol::whoami(userName, displayName));
}

void sendIncrement() {
    RealtimeLink::sendWhole(RealtimeProtocol::increment());
}

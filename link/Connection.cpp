#include "link/Connection.hpp"

#include "link/PacketThread.hpp"
#include "link/RealtimeLink.hpp"
#include "link/RealtimeProtocol.hpp"
#include "link/UserStateTable.hpp"
#include "media/ConsoleLog.hpp"
#include "web/UserProfile.hpp"

#include <SFML/Network/IpAddress.hpp>

#include <system_error>

#ifndef BRANNOC_REALTIME_HOST
#define BRANNOC_REALTIME_HOST "localhost"
#endif

namespace RealtimeLink {

namespace {

constexpr std::int32_t timeOutMs = 2000;

// A connect thread that could not be started ends its attempt at once, unsuccessfully.
void startConnectAttempt() {
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

} // namespace

void connectToServer() {
    // The socket is ours alone while the phase is Connecting, so the lock is taken only around the
    // quick calls and never across the connect, which may take as long as the system allows.
    {
        std::lock_guard<std::mutex> lock(socketMutex);
        socket.disconnect();
        socket.setBlocking(true);
    }
    const sf::IpAddress address(BRANNOC_REALTIME_HOST);
    const sf::Socket::Status status = socket.connect(address, port, sf::Time::Zero);
    if (status == sf::Socket::Done) {
        {
            std::lock_guard<std::mutex> lock(socketMutex);
            socket.setBlocking(false);
        }
        connected = true;
    } else {
        connected = false;
    }
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

void timeOutCheck() {
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        const auto elapsedMs = static_cast<std::int32_t>(roundTripClock.elapsedSeconds() * 1000.0);
        if (elapsedMs <= timeOutMs)
            return;
        // Cleared under the lock, so the packet thread cannot restart the clock after the reset.
        connected = false;
        reconnectPending = true;
        UserStateTable::markAllOffline();
        roundTripClock.resetStopped();
    }
    ConsoleLog::writeLine("Timed out, attempting to reconnect");
    // A connect thread at work owns the socket; its attempt ends by itself.
    if (connectPhase != Connecting)
        disconnectSocket();
}

void shutdown() {
    quitRequested = true;
    joinQuietly(connectThread);
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

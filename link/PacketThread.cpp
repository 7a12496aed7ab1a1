#include "link/PacketThread.hpp"

#include "link/RealtimeLink.hpp"
#include "link/StatusDisplay.hpp"
#include "link/UserStateTable.hpp"
#include "media/AssetStore.hpp"
#include "media/ConsoleLog.hpp"
#include "media/SoundBank.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

namespace RealtimeLink {

namespace {

constexpr std::int32_t pingIntervalMs = 2000;
constexpr float bellVolume = 25.f;
constexpr int longestIdleWaitMs = 5;
// A wait that ends this close to the ping's due moment could still overshoot it through timer
// slack and scheduling; inside the margin the pass polls without waiting.
constexpr std::int64_t pingMarginNanos = 2000000;
constexpr std::int64_t pauseAfterPacketNanos = 20000000;

// The time-out check resets roundTripClock under the same lock after clearing connected; a
// restart that came after it would start the time-out over on a connection already given up.
void restartRoundTripWhileConnected() {
    std::lock_guard<std::mutex> lock(stateMutex);
    if (connected)
        roundTripClock.restart();
}

void pingIfDue() {
    if (!pingTimer.due())
        return;
    const bool sent = sendWhole(RealtimeProtocol::ping());
    pingTimer.set(pingIntervalMs);
    // A ping that never left proves nothing about the connection: restarting the clock for it would
    // keep a failed socket from ever timing out.
    if (sent)
        restartRoundTripWhileConnected();
    std::lock_guard<std::mutex> lock(stateMutex);
    pingUnanswered = true;
}

// No packet is received until the whole pause is over.
void pauseKeepingThePingOnTime() {
    const std::int64_t end = Stopwatch::steadyNow() + pauseAfterPacketNanos;
    for (;;) {
        const PauseStep step = pauseStep(end - Stopwatch::steadyNow(), pingTimer.nanosUntilDue(), connected);
        if (step.pingNow)
            pingIfDue();
        if (step.sleepNanos > 0)
            std::this_thread::sleep_for(std::chrono::nanoseconds(step.sleepNanos));
        if (step.done)
            return;
    }
}

void waitForTraffic() {
    const int milliseconds = idleWaitMs(pingTimer.nanosUntilDue());
    if (milliseconds <= 0)
        return;
    waitForData(milliseconds);
}

void applyTotal(std::uint16_t total) {
    const std::int32_t known = deathTotal;
    if (known != -1 && known < static_cast<std::int32_t>(total)) {
        SoundBank::playSound(bellPath(), bellVolume);
        std::lock_guard<std::mutex> lock(stateMutex);
        lastDeathClock.restart();
    }
    deathTotal = total;
}

void applyPong() {
    std::lock_guard<std::mutex> lock(stateMutex);
    if (!connected)
        return;
    const auto roundTrip = static_cast<std::int32_t>(roundTripClock.elapsedSeconds() * 1000.0);
    roundTripClock.restart();
    pingUnanswered = false;
    pingMs = roundTrip;
}

void markLost() {
    connected = false;
    reconnectPending = true;
    std::lock_guard<std::mutex> lock(stateMutex);
    UserStateTable::markAllOffline();
}

void loseConnection() {
    ConsoleLog::writeLine("Disconnected");
    markLost();
    disconnectSocket();
}

void serveConnection() {
    if (!connected)
        return;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        roundTripClock.restart();
        lastDeathClock.restart();
        pingUnanswered = false;
    }
    if (quitRequested) {
        disconnectSocket();
        return;
    }

    for (;;) {
        if (!connected)
            return;

        pingIfDue();

        sf::Packet packet;
        const sf::Socket::Status status = receive(packet);
        if (status == sf::Socket::NotReady) {
            waitForTraffic();
        } else if (status == sf::Socket::Disconnected) {
            loseConnection();
            return;
        } else {
            if (status == sf::Socket::Error) {
                ConsoleLog::writeLine("Error");
                disconnectSocket();
                std::lock_guard<std::mutex> lock(stateMutex);
                statusText = "Error";
                headerTargetColour = HeaderColour{204.f, 0.f, 0.f};
            }
            applyServerMessage(RealtimeProtocol::read(packet));
            pauseKeepingThePingOnTime();
        }

        if (quitRequested) {
            disconnectSocket();
            return;
        }
    }
}

} // namespace

std::string bellPath() {
    return AssetStore::root + AssetStore::audioDir + "sound/boxingbell2.wav";
}

PauseStep pauseStep(std::int64_t nanosLeft, std::int64_t nanosUntilPingDue, bool isConnected) {
    if (nanosLeft <= 0)
        return {0, false, true};
    if (!isConnected || nanosUntilPingDue >= nanosLeft)
        return {nanosLeft, false, true};
    // Wake a margin early, since a sleep may overshoot; inside the margin, ping (a ping that is not
    // yet due is left to the next step).
    if (nanosUntilPingDue > pingMarginNanos)
        return {nanosUntilPingDue - pingMarginNanos, false, false};
    return {0, true, false};
}

int idleWaitMs(std::int64_t nanosUntilPingDue) {
    const std::int64_t usable = (nanosUntilPingDue - pingMarginNanos) / 1000000;
    return static_cast<int>(std::clamp<std::int64_t>(usable, 0, longestIdleWaitMs));
}

void applyServerMessage(const RealtimeProtocol::ServerMessage& message) {
    using RealtimeProtocol::Kind;
    switch (message.kind) {
    case Kind::DeathCount:
        applyTotal(message.total);
        break;
    case Kind::DeathIndex: {
        std::lock_guard<std::mutex> lock(stateMutex);
        for (const auto& entry : message.entries)
            UserStateTable::applyDeathIndex(entry.userName, entry.displayName, entry.value);
        break;
    }
    case Kind::Pong:
        applyPong();
        break;
    case Kind::UserStates: {
        std::lock_guard<std::mutex> lock(stateMutex);
        for (const auto& entry : message.entries)
            UserStateTable::applyState(entry.userName, entry.displayName, entry.value);
        break;
    }
    case Kind::Unknown:
    case Kind::Truncated:
        break;
    }
}

void runPacketLoop() {
    try {
        serveConnection();
    } catch (...) {
        // Whatever could not be handled (memory for a message, a lock) ends this connection the
        // way a server's close does, rather than the program.
        try {
            loseConnection();
        } catch (...) {
            // The flags alone still bring the reconnect, whose attempt closes the socket first.
            connected = false;
            reconnectPending = true;
        }
    }
}

} // namespace RealtimeLink

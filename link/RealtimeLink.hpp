#pragma once

#include "link/Stopwatch.hpp"

#include <SFML/Network/TcpSocket.hpp>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

// Decides when the next "ping" is due: more than intervalMs whole milliseconds after start.
struct PingTimer {
    std::int64_t start = Stopwatch::steadyNow();
    std::int32_t intervalMs = 0;

    bool due() const;
    void set(std::int32_t newIntervalMs);
};

// The process-wide state of the one connection to the realtime server.
namespace RealtimeLink {

enum ConnectPhase : std::int32_t { Connecting = 0, AttemptEnded = 1, HandedOver = 2 };

extern sf::TcpSocket socket;
extern std::thread connectThread;
extern std::thread packetThread;

extern std::atomic<bool> connected;
extern std::atomic<bool> reconnectPending;
extern std::atomic<bool> quitRequested;
extern std::atomic<std::int32_t> connectPhase;

// Last total from "deathcount", -1 until one arrives; last round trip in milliseconds.
extern std::atomic<std::int32_t> deathTotal;
extern std::atomic<std::int32_t> pingMs;

// Guards roundTripClock, lastDeathClock, the user states table, statusText and
// headerTargetColour. Held only to copy or change them, never while drawing or doing I/O.
extern std::mutex stateMutex;
extern Stopwatch roundTripClock;
extern Stopwatch lastDeathClock;

extern PingTimer pingTimer;

} // namespace RealtimeLink

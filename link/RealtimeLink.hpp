#pragma once

#include "link/Stopwatch.hpp"

#include <SFML/Network/Packet.hpp>
#include <SFML/Network/TcpSocket.hpp>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

// Decides when the next "ping" is due: more than intervalMs whole milliseconds after start.
// Touched by the packet thread only (one at a time); reads Stopwatch::clock.
struct PingTimer {
    std::int64_t start = Stopwatch::steadyNow();
    std::int32_t intervalMs = 0;

    bool due() const;
    void set(std::int32_t newIntervalMs);
    // Nanoseconds from now until due() first holds; 0 or less once it does.
    std::int64_t nanosUntilDue() const;
};

// The process-wide state of the one connection to the realtime server.
namespace RealtimeLink {

enum ConnectPhase : std::int32_t { Connecting = 0, AttemptEnded = 1, HandedOver = 2 };

constexpr unsigned short port = 34567;

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
// Set when a "ping" is attempted, cleared by a "pong" and when a connection starts.
extern bool pingUnanswered;
extern Stopwatch lastDeathClock;

extern PingTimer pingTimer;

// Guards each single call on socket from the main and packet threads. The connect thread uses the
// socket alone (nobody else touches it while connectPhase is Connecting) and takes it only briefly.
extern std::mutex socketMutex;
// Held from a packet's first byte to its last, so the threads' packets never interleave.
extern std::mutex sendMutex;

// How long a send waits on a peer that takes no byte before it gives up and closes the socket.
extern std::int32_t sendStallLimitMs;

// Sends the packet framed and whole, serialised with every other send: a partial send is resumed
// from where it stopped once the socket drains. False when the socket fails, the quit flag is set
// or the peer stalls past sendStallLimitMs (the socket is then closed rather than left mid-packet).
bool sendWhole(const sf::Packet& packet);

// One non-blocking receive on the socket.
sf::Socket::Status receive(sf::Packet& packet);

// Closes the socket; a later receive or send on it fails.
void disconnectSocket();

// Waits up to the given milliseconds for the socket to have something to read (data, a close or an
// error). Keep it short: a disconnect from another thread during the wait is not seen by it.
bool waitForData(int milliseconds);

// Starts thread on body under a name that /proc and debuggers show. False, with the thread left
// empty, when the system cannot start one. Replaceable by tests.
extern bool (*startThread)(std::thread& thread, const char* name, void (*body)());
bool startNamedThread(std::thread& thread, const char* name, void (*body)());

} // namespace RealtimeLink

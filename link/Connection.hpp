#pragma once

#include <SFML/Network/IpAddress.hpp>

#include <cstdint>

// The connection's lifecycle as the frame loop drives it. All on the main thread unless noted.
namespace RealtimeLink {

// Body of the connect thread: one connect attempt to port 34567 of the realtime host, with no time
// limit of its own, given up when quit is requested.
void connectToServer();

// The realtime host's address, looked up by name on the connect thread; None when it has none.
sf::IpAddress resolveRealtimeHost();
// What the connect thread calls to resolve; replaceable by tests before a connect thread starts.
extern sf::IpAddress (*resolveHost)();

// Start-up step: starts the first connect thread. A thread that cannot be started counts as a
// failed attempt, here and in the steps below; nothing is thrown.
void startUp();

// After a finished connect attempt: starts the packet thread, sends "whoami", refreshes the status.
// A connection whose packet thread cannot start is closed and, on a reconnect, tried again.
void handOverStep();

// After a lost connection: joins the packet thread and starts a new connect attempt.
void reconnectStep();

// Whether the link counts as lost: the round-trip clock shows more than 2000 ms, and either a ping
// waits for its pong, the link is no longer connected, or no ping has left for a whole further
// interval. A link whose last ping was answered is not lost because the next one leaves late.
bool timedOut(std::int32_t elapsedMs, bool pingUnanswered, bool connected);

// Marks the connection lost when timedOut says so. Leaves the socket to a connect attempt under
// way; otherwise closes it.
void timeOutCheck();

// Sets the quit flag and joins both threads, promptly: a connect under way gives up, and a connect
// thread still resolving the host is left to end by itself without touching the link again.
void shutdown();

} // namespace RealtimeLink

// Sends "whoami" with currentUser's names, whole and serialised with every other send.
void sendWhoami();

// Sends "increment", whole and serialised with every other send.
void sendIncrement();

// Sets statusText, statusAvatar's texture and headerTargetColour for the connection's state.
// Makes blocking web requests.
void refreshStatusDisplay();

#pragma once

#include "link/RealtimeProtocol.hpp"

#include <string>

// The packet thread: serves one established connection, sends the keepalive, reads what the
// server sends and turns it into the link's shared state.
namespace RealtimeLink {

// Thread body. Returns at once when the connection is not up; otherwise runs until the connection
// is lost, the time-out check clears connected, or quit is requested.
void runPacketLoop();

// Applies one read message to the shared state: the total (ringing the bell when it grows from a
// known value), the round trip, or a user list. Unknown and truncated messages change nothing.
void applyServerMessage(const RealtimeProtocol::ServerMessage& message);

// Where the bell is read from: the asset root, the audio directory, "sound/boxingbell2.wav".
std::string bellPath();

// How long a pass that found nothing may wait on the socket: a few milliseconds, but ending a
// margin before the ping falls due, and 0 (poll without waiting) inside that margin.
int idleWaitMs(std::int64_t nanosUntilPingDue);

// One step of the pause after a packet, which caps the rate at one packet per 20 ms but lets a
// ping that falls due meanwhile leave on time: sleep for sleepNanos, or ping now; done ends the
// pause after the sleep.
struct PauseStep {
    std::int64_t sleepNanos = 0;
    bool pingNow = false;
    bool done = false;
};
PauseStep pauseStep(std::int64_t nanosLeft, std::int64_t nanosUntilPingDue, bool connected);

} // namespace RealtimeLink

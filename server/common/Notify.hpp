#pragma once

#include <chrono>
#include <string>

// systemd's service notifications (sd_notify(3)): a datagram to the socket NOTIFY_SOCKET names.
// Without NOTIFY_SOCKET every call does nothing.
namespace notify {

// Sends "READY=1", "STOPPING=1", "WATCHDOG=1" or any other state lines; false when it could not.
bool send(const std::string& state);

// How often to send WATCHDOG=1: half of WATCHDOG_USEC when it is set for this process (its
// WATCHDOG_PID, when given, is ours), else zero.
std::chrono::microseconds watchdogInterval(const char* watchdogUsec, const char* watchdogPid, long pid);

} // namespace notify

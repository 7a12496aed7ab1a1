#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>

// The local socket through which brannoc-click asks the running client to count one death. One
// request line ("click"), one answer line ("sent" or "offline"). Only the client that holds the
// lock file beside the socket listens, so one request counts once however many clients run.
namespace ClickSocket {

// The folder of the socket and its lock: $XDG_RUNTIME_DIR/brannoc, or /tmp/brannoc-UID when that
// variable is unset or not an absolute path.
std::string folder(const char* xdgRuntimeDir, uid_t uid);

// The client's side, once per frame, never blocking: takes over the socket when the lock is free
// (replacing a dead client's socket), then answers each complete request with count(), which
// sends the increment and says whether it did. A request whose asker has gone is not counted.
void serve(const std::function<bool()>& count);

// Stops listening and releases the lock, so that another client takes over.
void close();

enum class Outcome { Sent, NotRunning, NotConnected, NoAnswer };

// brannoc-click's side: one request, given up after the limit.
Outcome request(std::chrono::milliseconds limit);

// What brannoc-click says for an outcome: its exit status and its line (empty for Sent).
int exitStatus(Outcome outcome);
std::string failureLine(Outcome outcome);

} // namespace ClickSocket

#include "server/common/Notify.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace notify {

bool send(const std::string& state) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (!path || !path[0])
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(path);
    if (length >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@')
        address.sun_path[0] = '\0'; // the abstract namespace
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    // Never blocking: a manager that does not read must not stall the loop that calls this.
    const bool sent =
        ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                 reinterpret_cast<sockaddr*>(&address), size) == static_cast<ssize_t>(state.size());
    ::close(fd);
    return sent;
}

std::chrono::microseconds watchdogInterval(const char* watchdogUsec, const char* watchdogPid, long pid) {
    if (!watchdogUsec)
        return std::chrono::microseconds(0);
    if (watchdogPid && std::strtol(watchdogPid, nullptr, 10) != pid)
        return std::chrono::microseconds(0);
    char* end = nullptr;
    const unsigned long long usec = std::strtoull(watchdogUsec, &end, 10);
    if (end == watchdogUsec || *end != '\0')
        return std::chrono::microseconds(0);
    return std::chrono::microseconds(usec / 2);
}

} // namespace notify

#include "bench/support/PrivateNetwork.hpp"

#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

bool enterPrivateNetwork(std::string& why) {
    if (unshare(CLONE_NEWNET) != 0) {
        why = std::string("unshare(CLONE_NEWNET) failed: ") + std::strerror(errno) +
              " (needs root or CAP_SYS_ADMIN)";
        return false;
    }
    // A new namespace's loopback starts down; connects would fail with "Network is unreachable".
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        why = std::string("socket failed: ") + std::strerror(errno);
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (up) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
        up = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    if (!up)
        why = std::string("bringing lo up failed: ") + std::strerror(errno);
    close(fd);
    return up;
}

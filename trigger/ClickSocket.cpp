#include "trigger/ClickSocket.hpp"

#include "trigger/Notice.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Asker {
    int fd;
    Clock::time_point since;
    std::string got;
};

int lockFd = -1;
int listenFd = -1;
bool givenUp = false; // a folder or socket that cannot be used is said once, then left alone
Clock::time_point lastTry;
std::vector<Asker> askers;

std::string ourFolder() {
    return ClickSocket::folder(std::getenv("XDG_RUNTIME_DIR"), getuid());
}

// A folder only this user can enter: anyone else's socket or lock there could count for us, or
// keep us from counting.
bool privateFolder(const std::string& path, bool create) {
    if (create && mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
           (info.st_mode & 077) == 0;
}

bool socketAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    return true;
}

void giveUp(const std::string& why) {
    Notice::line("brannoc-click cannot reach this client: " + why);
    givenUp = true;
    if (lockFd >= 0)
        ::close(lockFd);
    lockFd = -1;
}

void takeOver() {
    const std::string folder = ourFolder();
    // The folder is checked and the lock file opened once; later tries only ask for the lock.
    if (lockFd < 0) {
        if (!privateFolder(folder, true))
            return giveUp(folder + " is not a folder of this user's alone");
        lockFd = open((folder + "/click.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lockFd < 0)
            return giveUp(folder + "/click.lock: " + std::strerror(errno));
    }
    if (flock(lockFd, LOCK_EX | LOCK_NB) != 0)
        return; // another client answers; tried again later
    const std::string path = folder + "/click.sock";
    sockaddr_un address;
    if (!socketAddress(path, address))
        return giveUp(path + ": the path is too long");
    unlink(path.c_str()); // a dead client's: the lock says nobody listens on it
    listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd < 0 || bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listenFd, 16) != 0) {
        const std::string why = path + ": " + std::strerror(errno);
        if (listenFd >= 0)
            ::close(listenFd);
        listenFd = -1;
        giveUp(why);
    }
}

// Reads what has come; true when the asker is done with (answered, gone or too slow).
bool answer(Asker& asker, const std::function<bool()>& count) {
    char buffer[64];
    ssize_t n;
    while ((n = recv(asker.fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
        asker.got.append(buffer, static_cast<std::size_t>(n));
    const bool gone = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) ||
                      asker.got.size() > 64;
    const std::size_t end = asker.got.find('\n');
    if (end == std::string::npos)
        return gone || Clock::now() - asker.since > 2s;
    // An asker that closed has given up waiting: counting for it would be a death nobody sees
    // acknowledged, and a second one when it tries again.
    const bool waiting = !gone;
    if (waiting && asker.got.compare(0, end, "click") == 0) {
        const char* reply = count() ? "sent\n" : "offline\n";
        send(asker.fd, reply, std::strlen(reply), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    return true;
}

} // namespace

namespace ClickSocket {

std::string folder(const char* xdgRuntimeDir, uid_t uid) {
    if (xdgRuntimeDir != nullptr && xdgRuntimeDir[0] == '/')
        return std::string(xdgRuntimeDir) + "/brannoc";
    return "/tmp/brannoc-" + std::to_string(uid);
}

void serve(const std::function<bool()>& count) {
    if (listenFd < 0 && !givenUp && Clock::now() - lastTry >= 250ms) {
        lastTry = Clock::now();
        takeOver();
    }
    for (int fd;
         listenFd >= 0 && (fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;)
        askers.push_back({fd, Clock::now(), {}});
    for (std::size_t i = 0; i < askers.size();) {
        if (answer(askers[i], count)) {
            ::close(askers[i].fd);
            askers.erase(askers.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

void close() {
    for (const Asker& asker : askers)
        ::close(asker.fd);
    askers.clear();
    if (listenFd >= 0) {
        // Unlinked while the lock is still held, so it cannot take a successor's socket with it.
        unlink((ourFolder() + "/click.sock").c_str());
        ::close(listenFd);
        listenFd = -1;
    }
    if (lockFd >= 0)
        ::close(lockFd);
    lockFd = -1;
}

Outcome request(std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    const std::string folder = ourFolder();
    sockaddr_un address;
    if (!privateFolder(folder, false) || !socketAddress(folder + "/click.sock", address))
        return Outcome::NotRunning;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Outcome::NotRunning;
    Outcome outcome = Outcome::NoAnswer;
    // A full accept queue (EAGAIN) is a client too busy to answer in time.
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        outcome = errno == EAGAIN ? Outcome::NoAnswer : Outcome::NotRunning;
    } else if (send(fd, "click\n", 6, MSG_NOSIGNAL) == 6) {
        std::string got;
        char buffer[64];
        for (pollfd wait{fd, POLLIN, 0}; got.find('\n') == std::string::npos && got.size() < 64;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) == 0)
                break;
            const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                break;
            got.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
        }
        outcome = got == "sent\n" ? Outcome::Sent : got == "offline\n" ? Outcome::NotConnected : outcome;
    }
    ::close(fd);
    return outcome;
}

int exitStatus(Outcome outcome) {
    return outcome == Outcome::Sent ? 0 : 1;
}

std::string failureLine(Outcome outcome) {
    switch (outcome) {
    case Outcome::NotRunning:
        return "brannoc is not running";
    case Outcome::NotConnected:
        return "brannoc is not connected to the tally server";
    case Outcome::NoAnswer:
        return "brannoc did not answer";
    default:
        return "";
    }
}

} // namespace ClickSocket

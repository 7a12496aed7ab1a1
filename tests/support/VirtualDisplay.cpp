#include "tests/support/VirtualDisplay.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

VirtualDisplay::VirtualDisplay(int width, int height, bool stopWithParent) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    pid_ = fork();
    if (pid_ == 0) {
        // The server must outlive every X resource of the test process, static ones included, so
        // it is never stopped from inside the process: it goes when the process does.
        if (stopWithParent)
            prctl(PR_SET_PDEATHSIG, SIGTERM);
        // Xvfb writes its display number to the fd named by -displayfd once it accepts clients.
        dup2(fds[1], 3);
        const int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, 1);
        dup2(devNull, 2);
        execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", screen.c_str(), "-nolisten", "tcp",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    if (pid_ < 0) {
        close(fds[0]);
        return;
    }
    std::string number;
    pollfd pfd{fds[0], POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (poll(&pfd, 1, 100) <= 0)
            continue;
        char c = 0;
        const ssize_t n = read(fds[0], &c, 1);
        if (n <= 0 || c == '\n')
            break;
        number += c;
    }
    close(fds[0]);
    if (!number.empty())
        name_ = ":" + number;
}

VirtualDisplay::~VirtualDisplay() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
}

void VirtualDisplay::ensureProcessDisplay() {
    if (std::getenv("DISPLAY") != nullptr)
        return;
    // Never destroyed: textures and windows in static objects are released after every function
    // static is gone, and they still need the server then.
    static VirtualDisplay* const display = new VirtualDisplay(1920, 1920, true);
    if (display->ok())
        setenv("DISPLAY", display->name().c_str(), 1);
}

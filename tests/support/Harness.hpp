#pragma once

// Running the real client, its servers and its screens from a test.

#include <SFML/Graphics/Image.hpp>

#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Start-up under the sanitizers and a software renderer on a loaded machine is slow.
constexpr std::chrono::milliseconds patience = 30s;
const std::string buildDir = BRANNOC_BUILD_DIR;
// What the client writes after its user line.
const std::string coreBanner = "\x1b[36;1m[ Caldre : Initializing ]\x1b[0m";
const std::string assetBanner = "\x1b[35;1m[ Ossivar : Initializing ]\x1b[0m";

// Polls ready until it holds (true) or the limit has passed (false).
bool waitUntil(const std::function<bool()>& ready, std::chrono::milliseconds limit = patience);

// A program (argv[0] looked up in PATH) with standard output and error in files. When destroyed it
// is stopped, its error stream checked for sanitizer reports, and its output shown if the test failed.
class Process {
public:
    explicit Process(std::vector<std::string> argv);
    ~Process();

    std::string out() const { return read(outPath_); }
    std::string err() const { return read(errPath_); }
    std::vector<std::string> lines(std::size_t most = SIZE_MAX) const;
    long count(const std::string& line) const;
    // The exit code, or 128 + the signal; -1 while running.
    int status();
    bool waitExit(std::chrono::milliseconds limit = patience);
    // SIGTERM, then SIGKILL after the limit.
    void stop(std::chrono::milliseconds limit = 10s);
    // A whole file, empty when it cannot be read.
    static std::string read(const std::string& path);

    pid_t pid = -1;

private:
    std::string name_, outPath_, errPath_;
    int status_ = -1;
};

// How many times a sound capture holds the client's bell, also while it is still being written: its
// energy over the bell's at the client's volume (25).
double bells(const std::string& capture);

// A new empty file's path.
std::string tempPath(const std::string& what);

// The client (with these arguments and these NAME=VALUE variables) on a 1024 x 900 Xvfb screen of
// its own, its sound written to a file, with an X connection to the screen and input through
// xdotool. beforeClient runs once the screen is up, before the client starts.
class Seat {
    Process xvfb_;
    struct _XDisplay* x_ = nullptr;
    struct _XDisplay* record_ = nullptr;
    unsigned long context_ = 0;
    long frames_ = 0;

public:
    explicit Seat(std::vector<std::string> args, const std::vector<std::string>& env = {},
                  const std::function<void(const std::string& display)>& beforeClient = {});
    ~Seat();

    // Runs xdotool with these arguments on this screen; true when it succeeded in time.
    bool xdo(const std::string& args, std::string* out = nullptr) const;
    // x, y, width and height of a window.
    std::array<int, 4> geometry(unsigned long window) const;
    // What a 640 x 400 window shows (black where it cannot be read).
    sf::Image shot(unsigned long window) const;
    // The close request a window manager sends (WM_DELETE_WINDOW).
    void requestClose(unsigned long window) const;
    // Waits until the client has begun count more frames (one pointer query each): with three, a
    // whole frame has run after the call even if one was under way.
    bool waitFrames(int count = 3);

    std::string display, sound = tempPath("sound");
    Process client;
    unsigned long main = 0, button = 0;
    // Both windows up and the first frame drawn, which comes after every placement of start-up.
    bool ready = false;
};

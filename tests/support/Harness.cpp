#include "tests/support/Harness.hpp"

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/Xutil.h>
#include <X11/extensions/record.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string tempPath(const std::string& what) {
    std::string path = "/tmp/brannoc-" + what + "-XXXXXX";
    close(mkstemp(path.data()));
    return path;
}

} // namespace

bool waitUntil(const std::function<bool()>& ready, std::chrono::milliseconds limit) {
    for (const auto end = Clock::now() + limit; !ready(); std::this_thread::sleep_for(20ms))
        if (Clock::now() > end)
            return false;
    return true;
}

Process::Process(std::vector<std::string> argv)
    : name_(argv.back()), outPath_(tempPath("out")), errPath_(tempPath("err")) {
    std::vector<char*> args;
    for (auto& arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, outPath_.c_str(), O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_addopen(&files, 2, errPath_.c_str(), O_WRONLY | O_TRUNC, 0);
    if (posix_spawnp(&pid, args[0], &files, nullptr, args.data(), environ) != 0)
        ADD_FAILURE() << "cannot start " << argv[0];
    posix_spawn_file_actions_destroy(&files);
}

Process::~Process() {
    stop();
    const std::string text = err();
    for (const char* marker :
         {"ERROR: AddressSanitizer", "runtime error:", "WARNING: ThreadSanitizer", "ERROR: LeakSanitizer"})
        if (text.find(marker) != std::string::npos)
            ADD_FAILURE() << name_ << " reported " << marker << ":\n" << text;
    if (::testing::Test::HasFailure())
        std::fprintf(stderr, "--- %s ended with %d\n--- stdout\n%s--- stderr\n%s\n", name_.c_str(), status_,
                     out().c_str(), text.substr(text.size() > 4000 ? text.size() - 4000 : 0).c_str());
    std::remove(outPath_.c_str());
    std::remove(errPath_.c_str());
}

std::string Process::out() const {
    return readFile(outPath_);
}

std::string Process::err() const {
    return readFile(errPath_);
}

std::vector<std::string> Process::lines(std::size_t most) const {
    std::vector<std::string> found;
    const std::string text = out();
    for (std::size_t at = 0, end; found.size() < most && (end = text.find('\n', at)) != std::string::npos;
         at = end + 1)
        found.push_back(text.substr(at, end - at));
    return found;
}

long Process::count(const std::string& line) const {
    const auto all = lines();
    return std::count(all.begin(), all.end(), line);
}

bool Process::waitLine(const std::string& line) const {
    return waitUntil([&] { return count(line) > 0; });
}

int Process::status() {
    int raw = 0;
    if (status_ == -1 && pid > 0 && waitpid(pid, &raw, WNOHANG) == pid)
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return status_;
}

bool Process::waitExit(std::chrono::milliseconds limit) {
    return waitUntil([&] { return status() != -1; }, limit);
}

void Process::stop(std::chrono::milliseconds limit) {
    if (pid <= 0 || status() != -1)
        return;
    kill(pid, SIGTERM);
    if (!waitExit(limit)) {
        kill(pid, SIGKILL);
        waitExit();
    }
}

std::vector<std::string> clientCommand(const std::string& display, std::vector<std::string> args,
                                       const std::string& soundCapture) {
    std::vector<std::string> argv{"env", "-u", "ALSOFT_CONF", "DISPLAY=" + display, "ALSOFT_DRIVERS=null"};
    if (!soundCapture.empty()) {
        // Mono int16 keeps each captured sample the source's times the volume.
        const std::string conf = soundCapture + ".conf";
        std::ofstream(conf) << "[general]\ndrivers=wave\nchannels=mono\nsample-type=int16\nfrequency=44100\n"
                            << "[wave]\nfile=" << soundCapture << "\n";
        argv = {"env", "-u", "ALSOFT_DRIVERS", "DISPLAY=" + display, "ALSOFT_CONF=" + conf};
    }
    argv.push_back(buildDir + "/brannoc");
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

VirtualScreen::VirtualScreen(int width, int height)
    : xvfb_({"sh", BRANNOC_SOURCE_DIR "/tests/support/isolate.sh", "--display",
             std::to_string(width) + "x" + std::to_string(height), "sh", "-c",
             "echo $DISPLAY && exec sleep 3600"}) {
    if (waitUntil([&] { return !xvfb_.lines().empty(); }))
        name = xvfb_.lines()[0];
    display_ = XOpenDisplay(name.c_str());
    EXPECT_NE(display_, nullptr) << "no X screen " << name;
}

VirtualScreen::~VirtualScreen() {
    if (context_ != 0) {
        XRecordDisableContext(display_, context_);
        XRecordFreeContext(display_, context_);
        XSync(display_, False);
    }
    if (record_ != nullptr)
        XCloseDisplay(record_);
    if (display_ != nullptr)
        XCloseDisplay(display_);
}

unsigned long VirtualScreen::window(const std::string& title) const {
    std::string id;
    return xdo("search --sync --onlyvisible --name '^" + title + "$'", &id) ? std::stoul(id) : 0;
}

bool VirtualScreen::xdo(const std::string& args, std::string* out) const {
    FILE* pipe = popen(("DISPLAY=" + name + " timeout 30 xdotool " + args).c_str(), "r");
    char buffer[256];
    std::string text;
    for (std::size_t n; pipe != nullptr && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        text.append(buffer, n);
    if (out != nullptr)
        *out = text;
    return pipe != nullptr && pclose(pipe) == 0;
}

Geometry VirtualScreen::geometry(unsigned long window) const {
    XWindowAttributes a{};
    Window child = 0;
    Geometry g{-1, -1, 0, 0};
    if (XGetWindowAttributes(display_, window, &a) != 0 &&
        XTranslateCoordinates(display_, window, a.root, 0, 0, &g[0], &g[1], &child))
        g = {g[0], g[1], a.width, a.height};
    return g;
}

sf::Image VirtualScreen::shot(unsigned long window) const {
    sf::Image image;
    const auto width = static_cast<unsigned>(geometry(window)[2]),
               height = static_cast<unsigned>(geometry(window)[3]);
    XImage* x = XGetImage(display_, window, 0, 0, width, height, AllPlanes, ZPixmap);
    if (x == nullptr)
        return image;
    image.create(width, height);
    for (unsigned y = 0; y < height; ++y)
        for (unsigned px = 0; px < width; ++px) {
            const unsigned long p = XGetPixel(x, static_cast<int>(px), static_cast<int>(y));
            image.setPixel(px, y, sf::Color((p >> 16) & 255, (p >> 8) & 255, p & 255));
        }
    XDestroyImage(x);
    return image;
}

void VirtualScreen::requestClose(unsigned long window) const {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
    XSendEvent(display_, window, False, NoEventMask, &event);
    XFlush(display_);
}

bool VirtualScreen::watchFrames(unsigned long window) {
    // The client samples the pointer once at the start of every frame.
    XRecordRange* range = XRecordAllocRange();
    range->core_requests.first = range->core_requests.last = X_QueryPointer;
    XRecordClientSpec client = window;
    context_ = XRecordCreateContext(display_, 0, &client, 1, &range, 1);
    XFree(range);
    XSync(display_, False);
    record_ = XOpenDisplay(name.c_str());
    return context_ != 0 && record_ != nullptr &&
           XRecordEnableContextAsync(
               record_, context_,
               [](XPointer counter, XRecordInterceptData* data) {
                   *reinterpret_cast<long*>(counter) += data->category == XRecordFromClient ? 1 : 0;
                   XRecordFreeData(data);
               },
               reinterpret_cast<XPointer>(&frames_)) != 0;
}

bool VirtualScreen::waitFrames(int count) {
    XSync(display_, False);
    XRecordProcessReplies(record_);
    const long target = frames_ + count;
    return waitUntil([&] {
        XRecordProcessReplies(record_);
        return frames_ >= target;
    });
}

#include "tests/support/Harness.hpp"

#include <gtest/gtest.h>

#include <SFML/Audio/SoundBuffer.hpp>

#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/Xutil.h>
#include <X11/extensions/record.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numeric>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

std::string Process::read(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

namespace {

// The client with its sound written to capture: mono int16 keeps each sample the source's times the volume.
std::vector<std::string> clientCommand(const std::string& display, const std::string& capture,
                                       std::vector<std::string> args, const std::vector<std::string>& env) {
    std::ofstream(capture + ".conf") << "[general]\ndrivers=wave\nchannels=mono\nsample-type=int16\n"
                                     << "frequency=44100\n[wave]\nfile=" << capture << "\n";
    args.insert(args.begin(),
                {"env", "-u", "ALSOFT_DRIVERS", "DISPLAY=" + display, "ALSOFT_CONF=" + capture + ".conf"});
    args.insert(args.begin() + 5, env.begin(), env.end());
    args.insert(args.begin() + 5 + static_cast<std::ptrdiff_t>(env.size()), buildDir + "/brannoc");
    return args;
}

} // namespace

std::string tempPath(const std::string& what) {
    std::string path = "/tmp/brannoc-" + what + "-XXXXXX";
    close(mkstemp(path.data()));
    return path;
}

double bells(const std::string& capture) {
    setenv("ALSOFT_DRIVERS", "null", 1); // this process only reads sound
    sf::SoundBuffer bell;
    const std::string bytes = Process::read(capture);
    const std::size_t data = bytes.find("data");
    if (!bell.loadFromFile(buildDir + "/assets/audio/sound/boxingbell2.wav") || data == std::string::npos)
        return -1;
    // The samples are read past the header, whose lengths are written only when the client ends.
    double heard = 0;
    for (std::size_t at = data + 8; at + 2 <= bytes.size(); at += 2) {
        std::int16_t sample;
        std::memcpy(&sample, bytes.data() + at, 2);
        heard += static_cast<double>(sample) * sample;
    }
    const sf::Int16* samples = bell.getSamples();
    return heard / std::inner_product(samples, samples + bell.getSampleCount(), samples, 0.0) * 16;
}

bool waitUntil(const std::function<bool()>& ready, std::chrono::milliseconds limit) {
    for (const auto end = Clock::now() + limit; !ready(); std::this_thread::sleep_for(20ms))
        if (Clock::now() > end)
            return false;
    return true;
}

Process::Process(std::vector<std::string> argv)
    : name_(argv.front() + " ... " + argv.back()), outPath_(tempPath("out")), errPath_(tempPath("err")) {
    argv.insert(argv.begin(), {"sh", "-c", "exec \"$0\" \"$@\" </dev/null >" + outPath_ + " 2>" + errPath_});
    std::vector<char*> args;
    for (auto& arg : argv)
        args.push_back(arg.data());
    args.push_back(nullptr);
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, args.data(), environ) != 0)
        ADD_FAILURE() << "cannot start " << argv[3];
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

// The pointer starts on the main window's header band (y 49), before any frame samples it.
Seat::Seat(std::vector<std::string> args, const std::vector<std::string>& env,
           const std::function<void(const std::string&)>& beforeClient)
    : xvfb_({"sh", BRANNOC_SOURCE_DIR "/tests/support/isolate.sh", "--display", "1024x900", "sh", "-c",
             "echo $DISPLAY && exec sleep 3600"}),
      display(waitUntil([&] { return !xvfb_.lines().empty(); }) ? xvfb_.lines()[0] : "none"),
      client((xdo("mousemove 512 99"), beforeClient ? beforeClient(display) : void(),
              clientCommand(display, sound, std::move(args), env))) {
    // Xlib's default handler ends the process; a window gone mid-test must only fail the test.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    x_ = XOpenDisplay(display.c_str());
    std::string ids;
    if (x_ == nullptr || !xdo("search --sync --onlyvisible --name '^Brannoc$'", &ids) ||
        !xdo("search --sync --onlyvisible --name '^Brannoc Button$'", &ids))
        return;
    std::sscanf(ids.c_str(), "%lu %lu", &main, &button);
    // Frames are counted from here on: the client samples the pointer once at the start of each.
    XRecordRange* range = XRecordAllocRange();
    range->core_requests.first = range->core_requests.last = X_QueryPointer;
    XRecordClientSpec owner = main;
    context_ = XRecordCreateContext(x_, 0, &owner, 1, &range, 1);
    XFree(range);
    XSync(x_, False);
    record_ = XOpenDisplay(display.c_str());
    ready = context_ != 0 && record_ != nullptr &&
            XRecordEnableContextAsync(
                record_, context_,
                [](XPointer counter, XRecordInterceptData* data) {
                    *reinterpret_cast<long*>(counter) += data->category == XRecordFromClient ? 1 : 0;
                    XRecordFreeData(data);
                },
                reinterpret_cast<XPointer>(&frames_)) != 0 &&
            waitUntil([&] { return shot(main).getPixel(0, 0) == sf::Color::White; });
}

Seat::~Seat() {
    client.stop();
    if (context_ != 0) {
        XRecordDisableContext(x_, context_);
        XRecordFreeContext(x_, context_);
        XSync(x_, False);
    }
    for (_XDisplay* connection : {record_, x_})
        if (connection != nullptr)
            XCloseDisplay(connection);
    std::remove(sound.c_str());
    std::remove((sound + ".conf").c_str());
}

bool Seat::xdo(const std::string& args, std::string* out) const {
    FILE* pipe = popen(("DISPLAY=" + display + " timeout 30 xdotool " + args).c_str(), "r");
    char buffer[256];
    for (std::size_t n; pipe != nullptr && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        if (out != nullptr)
            out->append(buffer, n);
    }
    return pipe != nullptr && pclose(pipe) == 0;
}

std::array<int, 4> Seat::geometry(unsigned long window) const {
    std::string shape;
    std::array<int, 4> g{-1, -1, 0, 0};
    if (xdo("getwindowgeometry --shell " + std::to_string(window), &shape))
        std::sscanf(shape.c_str(), "WINDOW=%*d X=%d Y=%d WIDTH=%d HEIGHT=%d", &g[0], &g[1], &g[2], &g[3]);
    return g;
}

sf::Image Seat::shot(unsigned long window) const {
    sf::Image image;
    image.create(640, 400, sf::Color::Black);
    XImage* shown = XGetImage(x_, window, 0, 0, 640, 400, AllPlanes, ZPixmap);
    for (unsigned y = 0; shown != nullptr && y < 400; ++y)
        for (unsigned x = 0; x < 640; ++x) {
            const unsigned long p = XGetPixel(shown, static_cast<int>(x), static_cast<int>(y));
            image.setPixel(x, y, sf::Color((p >> 16) & 255, (p >> 8) & 255, p & 255));
        }
    if (shown != nullptr)
        XDestroyImage(shown);
    return image;
}

void Seat::requestClose(unsigned long window) const {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(x_, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(x_, "WM_DELETE_WINDOW", False));
    XSendEvent(x_, window, False, NoEventMask, &event);
    XFlush(x_);
}

bool Seat::waitFrames(int count) {
    XSync(x_, False);
    XRecordProcessReplies(record_);
    const long target = frames_ + count;
    return waitUntil([&] {
        XRecordProcessReplies(record_);
        return frames_ >= target;
    });
}

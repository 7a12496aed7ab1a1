// Benchmarks of the realtime link against a stand-in realtime server that keeps a shared total:
//
//   brannoc_link_bench click CLIENT [clients] [clicks]
//     Click to screen. Starts `clients` copies of CLIENT (a build configured with
//     -DBRANNOC_FRAME_STAMPS=ON, which writes "frame <steady-clock us> <total>" on standard error
//     after each displayed main-window frame), each on its own Xvfb. Then, `clicks` times, it
//     releases a mouse button in one client's button window (taking the clients in turn) and
//     records, for every other client, the time from the injected release to the first displayed
//     frame that shows the new total. Prints p50, p90, p99 and the maximum.
//
//   brannoc_link_bench idle CLIENT FLOOR [seconds]
//     Cost at rest while connected: CLIENT connected to the server (which answers every "ping")
//     and the floor program FLOOR side by side, each on its own Xvfb; CPU share of one core over
//     the given seconds (default 20) after a 3 s start-up, peak memory, and the ratio.
//
// The server answers "ping" with "pong", and each "increment" with the raised total in
// "deathcount" to every connection; a new connection gets the current total after its "whoami".
// As root the program first moves into a private network namespace, so port 34567 is its own.

#include "bench/support/PrivateNetwork.hpp"
#include "bench/support/ProcStat.hpp"
#include "bench/support/XSession.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <sched.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::int64_t nowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

// --- The stand-in realtime server.

std::string be32(std::uint32_t value) {
    std::string bytes;
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes += static_cast<char>((value >> shift) & 0xFFu);
    return bytes;
}

std::string field(const std::string& text) {
    return be32(static_cast<std::uint32_t>(text.size())) + text;
}

std::string framed(const std::string& payload) {
    return be32(static_cast<std::uint32_t>(payload.size())) + payload;
}

std::string deathcountFrame(std::uint16_t total) {
    return framed(field("deathcount") +
                  std::string{static_cast<char>(total >> 8), static_cast<char>(total & 0xFF)});
}

std::uint32_t readBe32(const std::string& bytes) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

// The name field at the start of a payload, or empty.
std::string messageName(const std::string& payload) {
    if (payload.size() < 4)
        return {};
    const std::uint32_t length = readBe32(payload);
    if (payload.size() - 4 < length)
        return {};
    return payload.substr(4, length);
}

class TallyServer {
public:
    bool start() {
        listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listenFd_ < 0)
            return false;
        const int on = 1;
        setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(34567);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            listen(listenFd_, 64) != 0)
            return false;
        thread_ = std::thread([this] { serve(); });
        return true;
    }

    ~TallyServer() { stop(); }

    // Safe to call twice.
    void stop() {
        stopping_ = true;
        if (thread_.joinable())
            thread_.join();
        for (Peer& peer : peers_)
            if (peer.fd >= 0) {
                close(peer.fd);
                peer.fd = -1;
            }
        if (listenFd_ >= 0)
            close(listenFd_);
        listenFd_ = -1;
    }

    std::uint16_t total() const { return total_; }
    std::size_t connections() const { return connected_; }

private:
    struct Peer {
        int fd = -1;
        std::string inbox;
    };

    void sendTo(Peer& peer, const std::string& bytes) {
        std::size_t sent = 0;
        while (peer.fd >= 0 && sent < bytes.size()) {
            const ssize_t n = send(peer.fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                drop(peer);
                return;
            }
            sent += static_cast<std::size_t>(n);
        }
    }

    void drop(Peer& peer) {
        close(peer.fd);
        peer.fd = -1;
        --connected_;
    }

    void handle(Peer& peer, const std::string& payload) {
        const std::string name = messageName(payload);
        if (name == "ping") {
            sendTo(peer, framed(field("pong")));
        } else if (name == "whoami") {
            sendTo(peer, deathcountFrame(total_));
        } else if (name == "increment") {
            total_ = static_cast<std::uint16_t>(total_ + 1);
            const std::string frame = deathcountFrame(total_);
            for (Peer& other : peers_)
                sendTo(other, frame);
        }
    }

    void serve() {
        while (!stopping_) {
            std::vector<pollfd> watched{{listenFd_, POLLIN, 0}};
            for (const Peer& peer : peers_)
                watched.push_back({peer.fd, POLLIN, 0});
            if (poll(watched.data(), watched.size(), 50) <= 0)
                continue;
            if ((watched[0].revents & POLLIN) != 0) {
                const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    const int on = 1;
                    // As the client's own sockets do: no waiting to coalesce small packets.
                    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    peers_.push_back(Peer{fd, {}});
                    ++connected_;
                }
            }
            for (std::size_t i = 1; i < watched.size(); ++i) {
                if ((watched[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                    continue;
                Peer& peer = peers_[i - 1];
                char buffer[4096];
                const ssize_t n = recv(peer.fd, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    drop(peer);
                    continue;
                }
                peer.inbox.append(buffer, static_cast<std::size_t>(n));
                while (peer.fd >= 0 && peer.inbox.size() >= 4) {
                    const std::uint32_t size = readBe32(peer.inbox);
                    if (peer.inbox.size() - 4 < size)
                        break;
                    const std::string payload = peer.inbox.substr(4, size);
                    peer.inbox.erase(0, 4 + size);
                    handle(peer, payload);
                }
            }
            peers_.erase(std::remove_if(peers_.begin(), peers_.end(), [](const Peer& p) { return p.fd < 0; }),
                         peers_.end());
        }
    }

    int listenFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint16_t> total_{0};
    std::atomic<std::size_t> connected_{0};
    std::vector<Peer> peers_; // server thread only
    std::thread thread_;
};

// --- Child processes: Xvfb and the programs under test.

struct Child {
    pid_t pid = -1;
    int errFd = -1; // read end of the child's standard error, or -1

    bool running() const { return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; }
};

Child spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv,
            const std::string& workingDir, bool captureErr, int displayFd = -1) {
    std::vector<std::string> envText;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        const bool replaced = std::any_of(extraEnv.begin(), extraEnv.end(), [&](const std::string& extra) {
            return extra.compare(0, name.size() + 1, name + "=") == 0;
        });
        if (!replaced)
            envText.push_back(text);
    }
    envText.insert(envText.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (auto& entry : envText)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> argText = args;
    std::vector<char*> argv;
    for (auto& arg : argText)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    int errPipe[2] = {-1, -1};
    if (captureErr && pipe2(errPipe, O_CLOEXEC) == 0)
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (displayFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, displayFd, 3);
    if (!workingDir.empty())
        posix_spawn_file_actions_addchdir_np(&actions, workingDir.c_str());
    Child child;
    if (posix_spawnp(&child.pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        child.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (errPipe[1] >= 0) {
        close(errPipe[1]);
        child.errFd = errPipe[0];
    }
    return child;
}

void stopChild(Child& child) {
    if (child.pid <= 0)
        return;
    kill(child.pid, SIGTERM);
    for (int i = 0; i < 300 && child.running(); ++i)
        std::this_thread::sleep_for(10ms);
    if (child.running())
        kill(child.pid, SIGKILL);
    waitpid(child.pid, nullptr, 0);
    child.pid = -1;
}

// Stops a child when the benchmark leaves the scope, on its error paths too.
struct ChildGuard {
    Child& child;
    ~ChildGuard() { stopChild(child); }
};

// A private Xvfb; the display name once it accepts clients, or empty.
struct Screen {
    Child xvfb;
    std::string name;
};

Screen startScreen(int width, int height) {
    Screen screen;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return screen;
    screen.xvfb = spawn({"Xvfb", "-displayfd", "3", "-screen", "0",
                         std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten", "tcp"},
                        {}, {}, false, fds[1]);
    close(fds[1]);
    std::string number;
    pollfd wait{fds[0], POLLIN, 0};
    const auto deadline = Clock::now() + 10s;
    while (Clock::now() < deadline && number.find('\n') == std::string::npos) {
        if (poll(&wait, 1, 100) <= 0)
            continue;
        char buffer[32];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        number.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    if (number.find('\n') != std::string::npos)
        screen.name = ":" + number.substr(0, number.find('\n'));
    return screen;
}

// --- One client under test, with its frame stamps.

struct Stamp {
    std::int64_t micros;
    int total;
};

struct Client {
    Screen screen;
    Child process;
    std::unique_ptr<XSession> x; // input and window lookup on the client's screen
    XWindow button = 0;
    std::mutex mutex;
    std::vector<Stamp> frames;
    std::thread reader;

    ~Client() {
        stopChild(process);
        // The reader ends at the end of the client's standard error.
        if (reader.joinable())
            reader.join();
        x.reset();
        stopChild(screen.xvfb);
    }
};

void readStamps(Client& client) {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(client.process.errFd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            long long micros = 0;
            int total = 0;
            if (std::sscanf(pending.c_str(), "frame %lld %d", &micros, &total) == 2) {
                std::lock_guard<std::mutex> lock(client.mutex);
                client.frames.push_back({micros, total});
            }
            pending.erase(0, end + 1);
        }
    }
}

// The first displayed frame at or after `from` that shows at least `total`, or -1.
std::int64_t firstFrameShowing(Client& client, int total, std::int64_t from) {
    std::lock_guard<std::mutex> lock(client.mutex);
    for (const Stamp& frame : client.frames)
        if (frame.micros >= from && frame.total >= total)
            return frame.micros;
    return -1;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
    return values[std::min(values.size() - 1, rank == 0 ? 0 : rank - 1)];
}

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

int runClick(const std::string& program, int clientCount, int clicks) {
    TallyServer server;
    if (!server.start()) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:34567\n");
        return 1;
    }
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < clientCount; ++i) {
        auto client = std::make_unique<Client>();
        client->screen = startScreen(1024, 900);
        if (client->screen.name.empty()) {
            std::fprintf(stderr, "Xvfb did not start\n");
            return 1;
        }
        client->process = spawn({program}, {"DISPLAY=" + client->screen.name, "ALSOFT_DRIVERS=null"},
                                directoryOf(program), true);
        if (client->process.pid <= 0) {
            std::fprintf(stderr, "cannot start %s\n", program.c_str());
            return 1;
        }
        Client* raw = client.get();
        client->reader = std::thread([raw] { readStamps(*raw); });
        client->x = std::make_unique<XSession>(client->screen.name);
        clients.push_back(std::move(client));
    }

    // Every client up: its button window mapped, connected, and drawing frames.
    const auto deadline = Clock::now() + 120s;
    for (auto& client : clients) {
        while (client->button == 0 && Clock::now() < deadline) {
            client->button = client->x->windowByTitle("Brannoc Button");
            std::this_thread::sleep_for(100ms);
        }
    }
    while (server.connections() < static_cast<std::size_t>(clientCount) && Clock::now() < deadline)
        std::this_thread::sleep_for(100ms);
    std::this_thread::sleep_for(3s);
    for (auto& client : clients)
        if (client->button == 0 || firstFrameShowing(*client, 0, 0) < 0) {
            std::fprintf(stderr, "a client did not come up (is it built with BRANNOC_FRAME_STAMPS?)\n");
            return 1;
        }

    std::mt19937 random(12345);
    std::uniform_int_distribution<int> gap(400, 700);
    std::vector<double> latenciesMs;
    int missed = 0;
    for (int k = 0; k < clicks; ++k) {
        Client& clicked = *clients[static_cast<std::size_t>(k % clientCount)];
        const WindowGeometry at = clicked.x->geometry(clicked.button);
        clicked.x->movePointer(at.x + 320, at.y + 200);
        clicked.x->pressButton(1);
        std::this_thread::sleep_for(50ms);
        const int expected = server.total() + 1;
        const std::int64_t released = nowMicros();
        clicked.x->releaseButton(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(gap(random)));

        const auto giveUp = Clock::now() + 5s;
        for (auto& client : clients) {
            if (client.get() == &clicked)
                continue;
            std::int64_t shown = -1;
            while ((shown = firstFrameShowing(*client, expected, released)) < 0 && Clock::now() < giveUp)
                std::this_thread::sleep_for(20ms);
            if (shown < 0)
                ++missed;
            else
                latenciesMs.push_back(static_cast<double>(shown - released) / 1000.0);
        }
    }

    std::printf("click to screen: %d clients, %d clicks, %zu client frames measured, %d missed\n",
                clientCount, clicks, latenciesMs.size(), missed);
    std::printf("  p50 %.1f ms   p90 %.1f ms   p99 %.1f ms   max %.1f ms   (floor: two frames at 60 fps, "
                "33.3 ms)\n",
                percentile(latenciesMs, 50), percentile(latenciesMs, 90), percentile(latenciesMs, 99),
                latenciesMs.empty() ? 0.0 : *std::max_element(latenciesMs.begin(), latenciesMs.end()));
    // The achieved frame rate, to tell slow frames from a slow link.
    double fps = 0;
    for (auto& client : clients) {
        std::lock_guard<std::mutex> lock(client->mutex);
        if (client->frames.size() > 1)
            fps += static_cast<double>(client->frames.size() - 1) * 1e6 /
                   static_cast<double>(client->frames.back().micros - client->frames.front().micros);
    }
    fps /= clientCount;
    std::printf("  mean frame rate per client: %.1f fps (two frames at that rate: %.1f ms)\n", fps,
                fps > 0 ? 2000.0 / fps : 0.0);

    return 0;
}

double peakMiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atof(line.c_str() + 6) / 1024.0;
    return 0;
}

int runIdle(const std::string& program, const std::string& floorProgram, int seconds) {
    TallyServer server;
    if (!server.start()) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:34567\n");
        return 1;
    }
    Screen clientScreen = startScreen(1920, 1080);
    const ChildGuard clientScreenGuard{clientScreen.xvfb};
    Screen floorScreen = startScreen(1920, 1080);
    const ChildGuard floorScreenGuard{floorScreen.xvfb};
    if (clientScreen.name.empty() || floorScreen.name.empty()) {
        std::fprintf(stderr, "Xvfb did not start\n");
        return 1;
    }
    Child client = spawn({program}, {"DISPLAY=" + clientScreen.name, "ALSOFT_DRIVERS=null"},
                         directoryOf(program), false);
    const ChildGuard clientGuard{client};
    Child floor = spawn({floorProgram}, {"DISPLAY=" + floorScreen.name}, {}, false);
    const ChildGuard floorGuard{floor};
    std::this_thread::sleep_for(3s);
    if (!client.running() || !floor.running() || server.connections() != 1) {
        std::fprintf(stderr, "a program did not start, or the client did not connect\n");
        return 1;
    }
    const long clientStart = cpuTicks(processStatPath(client.pid));
    const long floorStart = cpuTicks(processStatPath(floor.pid));
    const std::string packetThread = threadStatPath(client.pid, "brannoc-packets");
    const long packetStart = packetThread.empty() ? 0 : cpuTicks(packetThread);
    const auto begin = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const long clientEnd = cpuTicks(processStatPath(client.pid));
    const long floorEnd = cpuTicks(processStatPath(floor.pid));
    const long packetEnd = packetThread.empty() ? 0 : cpuTicks(packetThread);
    const double span = std::chrono::duration<double>(Clock::now() - begin).count();
    const double hz = static_cast<double>(sysconf(_SC_CLK_TCK));
    const double clientCpu = 100.0 * static_cast<double>(clientEnd - clientStart) / hz / span;
    const double floorCpu = 100.0 * static_cast<double>(floorEnd - floorStart) / hz / span;
    const double clientPeak = peakMiB(client.pid);
    const double floorPeak = peakMiB(floor.pid);
    const bool stillConnected = server.connections() == 1;

    std::printf("connected and idle %.1f s after 3 s start-up (server answering pings%s)\n", span,
                stillConnected ? "" : "; THE CLIENT LOST ITS CONNECTION");
    std::printf("%-8s %8s %12s\n", "", "CPU %", "peak MiB");
    std::printf("%-8s %8.1f %12.1f\n", "client", clientCpu, clientPeak);
    std::printf("%-8s %8.1f %12.1f\n", "floor", floorCpu, floorPeak);
    std::printf("%-8s %8.2f %12.2f\n", "ratio", floorCpu > 0 ? clientCpu / floorCpu : 0.0,
                floorPeak > 0 ? clientPeak / floorPeak : 0.0);
    if (!packetThread.empty())
        std::printf("the client's packet thread: %.2f %% of one core\n",
                    100.0 * static_cast<double>(packetEnd - packetStart) / hz / span);

    return 0;
}

int usage() {
    std::fprintf(stderr, "usage: brannoc_link_bench click CLIENT [clients=2] [clicks=60]\n"
                         "       brannoc_link_bench idle CLIENT FLOOR [seconds=20]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3)
        return usage();
    const std::string mode = argv[1];
    // Each program runs in its own folder, so a path relative to ours would not find it there.
    const auto absolute = [](const char* path) { return std::filesystem::absolute(path).string(); };
    std::string why;
    if (!enterPrivateNetwork(why))
        std::fprintf(stderr, "note: %s; using the machine's loopback\n", why.c_str());
    if (mode == "click")
        return runClick(absolute(argv[2]), argc > 3 ? std::atoi(argv[3]) : 2,
                        argc > 4 ? std::atoi(argv[4]) : 60);
    if (mode == "idle" && argc >= 4)
        return runIdle(absolute(argv[2]), absolute(argv[3]), argc > 4 ? std::atoi(argv[4]) : 20);
    return usage();
}

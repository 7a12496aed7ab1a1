// brannoc-tally-load: the tally server under load, and its durability when killed.
//
//   brannoc-tally-load [--host A] [--port P] [--clients C] [--duration D] [--rate R]
//                      [--per-address N] [--threads T] [--server-pid PID] [--seed S] [--named yes]
//                      [--batch-ms N] [--port2 P] [--watch NAME=PID]...
//     Opens C connections to a running brannoc-server, N per source address (127.0.0.2 upwards,
//     each socket bound before it connects, so the server's per-address cap holds as with real
//     users). Each connection pings every 2 s from a random phase and reads everything (with
//     --named yes it first names itself, as a real client does). One more
//     connection, named, from 127.0.0.1, then increments R times a second for D seconds. For each
//     increment and each load connection, the delay from sending the increment to receiving a
//     "deathcount" carrying its total or a later one (a merged broadcast delivers it too).
//     Prints p50, p99 and max of those delays, the missing deliveries, and, given the server's
//     process id, the server's CPU time over the increments and its peak memory. With --port2,
//     every other load connection goes to a second server sharing the tally (through Redis);
//     --watch reports the CPU of further processes (that server, Redis) the same way.
//
//   brannoc-tally-load --storm yes [--clients C] [--threads T] [--server-pid PID] [--host A] [--port P]
//     A named connect storm: C connections (N per source address) connect and send a whoami of
//     their own at once. Reports the time until every one holds the whole tally with all C users
//     online, the server's CPU over it and its peak memory, and the connections the kernel's listen
//     backlog dropped (TcpExt ListenOverflows and ListenDrops of this network namespace).
//
//   brannoc-tally-load --durability K --server PATH [--port P] [--dir DIR] [--seed S]
//     K times: starts PATH on a database in DIR, increments as one named client (acknowledged by
//     the broadcast "deathcount"), kills the server with SIGKILL at a random moment (possibly
//     with increments in flight), restarts it on the same database and checks that the restored
//     total is at least the last acknowledged one. The status is the number of failures.

#include "bench/support/ProcStat.hpp"
#include "server/realtime/net/Wire.hpp"

#include <boost/asio.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Opens the socket bound to one of the local addresses, each of which has its own range of ports.
boost::system::error_code openFrom(tcp::socket& socket, const asio::ip::address& local) {
    boost::system::error_code ec;
    socket.open(tcp::v4(), ec);
    if (!ec)
        socket.bind(tcp::endpoint(local, 0), ec);
    return ec;
}

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// What the server sends: a whole user list of thousands is far over the 64 KiB a client may send.
constexpr std::size_t maxServerFrame = 16u << 20;

const std::string& pingFrame() {
    static const std::string frame = wire::Writer("ping").frame();
    return frame;
}

const std::string& incrementFrame() {
    static const std::string frame = wire::Writer("increment").frame();
    return frame;
}

// The total of a "deathcount" frame, or -1 for any other message.
int deathcount(const std::string& data) {
    wire::Reader reader(data);
    std::string name;
    std::uint16_t total = 0;
    if (!reader.str(name) || name != "deathcount" || !reader.u16(total))
        return -1;
    return total;
}

// VmHWM of a process in KiB, or -1.
long peakKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// --- Load.

struct LoadOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = 34567;
    std::size_t clients = 1000;
    double duration = 20;
    double rate = 8;
    std::size_t perAddress = 50;
    std::size_t threads = 1;
    // 0: each thread sleeps in epoll until a socket is ready, so every message the server sends
    // may wake it (and, on a shared core, preempt the server mid-broadcast). N: each thread
    // handles whatever is ready, then sleeps N ms; arrival times are then late by up to N ms.
    unsigned batchMs = 0;
    bool named = false; // each load connection sends a whoami of its own, as a real client does
    bool storm = false; // a named connect storm instead of increments
    pid_t serverPid = 0;
    unsigned seed = 1;
    // A second server sharing the tally (through Redis): every other load connection goes there.
    std::uint16_t port2 = 0;
    // Further processes whose CPU over the increments is reported (the second server, Redis).
    std::vector<std::pair<std::string, pid_t>> watched;
};

struct Counters {
    std::atomic<std::size_t> ready{0};
    std::atomic<std::size_t> failed{0};
    std::atomic<std::size_t> closed{0};
    std::atomic<bool> stopping{false};
};

// One listening connection: pings, reads, and notes when each higher total arrives.
class LoadClient {
public:
    struct Record {
        std::uint16_t total;
        std::int64_t ns;
    };

    LoadClient(asio::io_context& io, Counters& counters, unsigned seed, std::string whoami)
        : socket_(io), ping_(io), counters_(counters), phase_(seed % 2000), whoami_(std::move(whoami)) {
        records.reserve(256);
    }

    void connect(const tcp::endpoint& server, const asio::ip::address& local, std::function<void()> done) {
        if (const auto ec = openFrom(socket_, local)) {
            fail("bind " + local.to_string() + ": " + ec.message());
            done();
            return;
        }
        socket_.async_connect(server, [this, done](boost::system::error_code error) {
            if (error) {
                fail("connect: " + error.message());
            } else {
                boost::system::error_code ignored;
                socket_.set_option(tcp::no_delay(true), ignored);
                if (!whoami_.empty()) {
                    writing_ = true;
                    asio::async_write(socket_, asio::buffer(whoami_),
                                      [this](boost::system::error_code, std::size_t) { writing_ = false; });
                }
                ping_.expires_after(std::chrono::milliseconds(phase_));
                waitPing();
                read();
            }
            done();
        });
    }

    void stop() {
        boost::system::error_code ignored;
        ping_.cancel();
        socket_.close(ignored);
    }

    std::vector<Record> records; // each total higher than the last, when it arrived
    bool ready = false;
    bool failed = false;
    bool lost = false; // closed by the server

private:
    void fail(const std::string& why) {
        if (counters_.failed.fetch_add(1) < 5)
            std::fprintf(stderr, "brannoc-tally-load: %s\n", why.c_str());
        failed = true;
    }

    void waitPing() {
        ping_.async_wait([this](boost::system::error_code ec) {
            if (ec || lost || counters_.stopping)
                return;
            if (!writing_) {
                writing_ = true;
                asio::async_write(socket_, asio::buffer(pingFrame()),
                                  [this](boost::system::error_code, std::size_t) { writing_ = false; });
            }
            ping_.expires_at(ping_.expiry() + 2s);
            waitPing();
        });
    }

    void read() {
        socket_.async_read_some(asio::buffer(buffer_), [this](boost::system::error_code ec, std::size_t n) {
            if (ec) {
                if (!counters_.stopping) {
                    lost = true;
                    ping_.cancel();
                    if (counters_.closed.fetch_add(1) < 5)
                        std::fprintf(stderr, "brannoc-tally-load: connection lost: %s\n",
                                     ec.message().c_str());
                }
                return;
            }
            const std::int64_t at = nowNs();
            frames_.append(buffer_.data(), n);
            std::string data;
            for (;;) {
                const auto status = frames_.next(data);
                if (status != wire::FrameReader::Status::Frame)
                    break;
                const int total = deathcount(data);
                if (total < 0)
                    continue;
                if (records.empty() || total > records.back().total)
                    records.push_back({static_cast<std::uint16_t>(total), at});
                if (!ready) {
                    ready = true;
                    counters_.ready.fetch_add(1);
                }
            }
            read();
        });
    }

    tcp::socket socket_;
    asio::steady_timer ping_;
    Counters& counters_;
    unsigned phase_;
    std::string whoami_;
    bool writing_ = false;
    std::array<char, 2048> buffer_{};
    wire::FrameReader frames_{maxServerFrame};
};

// The named connection that increments, paced under the server's limit of 10 a second.
class Incrementer {
public:
    explicit Incrementer(asio::io_context& io) : socket_(io), ping_(io), tick_(io) {}

    bool connect(const tcp::endpoint& server) {
        boost::system::error_code ec;
        socket_.connect(server, ec);
        if (ec) {
            std::fprintf(stderr, "brannoc-tally-load: incrementer: %s\n", ec.message().c_str());
            return false;
        }
        socket_.set_option(tcp::no_delay(true), ec);
        const std::string whoami = wire::Writer("whoami").str("tally-load").str("Tally load").frame();
        asio::write(socket_, asio::buffer(whoami), ec);
        return !ec;
    }

    // On the io_context's thread.
    void start() {
        ping_.expires_after(2s);
        waitPing();
        read();
    }

    void begin(std::size_t count, std::chrono::nanoseconds interval) {
        left_ = count;
        interval_ = interval;
        next_ = Clock::now();
        tick_.expires_at(next_);
        waitTick();
    }

    void stop() {
        boost::system::error_code ignored;
        ping_.cancel();
        tick_.cancel();
        socket_.close(ignored);
    }

    std::atomic<int> firstTotal{-1};
    std::atomic<int> lastTotal{-1};
    std::atomic<bool> done{false};
    std::vector<std::int64_t> sent; // send times, read once done

private:
    void send(const std::string& frame) {
        queue_.push_back(&frame);
        if (queue_.size() == 1)
            write();
    }

    void write() {
        asio::async_write(socket_, asio::buffer(*queue_.front()),
                          [this](boost::system::error_code ec, std::size_t) {
                              queue_.erase(queue_.begin());
                              if (!ec && !queue_.empty())
                                  write();
                          });
    }

    void waitPing() {
        ping_.async_wait([this](boost::system::error_code ec) {
            if (ec)
                return;
            send(pingFrame());
            ping_.expires_at(ping_.expiry() + 2s);
            waitPing();
        });
    }

    void waitTick() {
        tick_.async_wait([this](boost::system::error_code ec) {
            if (ec)
                return;
            sent.push_back(nowNs());
            send(incrementFrame());
            if (--left_ == 0) {
                done = true;
                return;
            }
            // On schedule, but never closer than 0.8 intervals to the last: a late wake-up must
            // not bunch increments into the server's rate limit.
            const auto now = Clock::now();
            next_ = std::max(next_ + interval_, now + interval_ * 4 / 5);
            tick_.expires_at(next_);
            waitTick();
        });
    }

    void read() {
        socket_.async_read_some(asio::buffer(buffer_), [this](boost::system::error_code ec, std::size_t n) {
            if (ec)
                return;
            frames_.append(buffer_.data(), n);
            std::string data;
            while (frames_.next(data) == wire::FrameReader::Status::Frame) {
                const int total = deathcount(data);
                if (total < 0)
                    continue;
                if (firstTotal < 0)
                    firstTotal = total;
                lastTotal = std::max(lastTotal.load(), total);
            }
            read();
        });
    }

    tcp::socket socket_;
    asio::steady_timer ping_;
    asio::steady_timer tick_;
    std::vector<const std::string*> queue_;
    std::size_t left_ = 0;
    std::chrono::nanoseconds interval_{};
    Clock::time_point next_;
    std::array<char, 2048> buffer_{};
    wire::FrameReader frames_{maxServerFrame};
};

// Starts connections in the order given, at most a few hundred at a time.
class Connector {
public:
    Connector(tcp::endpoint server, std::size_t limit) : server_(server), limit_(limit) {}
    void add(LoadClient* client, asio::ip::address local) { queue_.push_back({client, local}); }
    void pump() {
        while (inFlight_ < limit_ && next_ < queue_.size()) {
            ++inFlight_;
            auto [client, local] = queue_[next_++];
            client->connect(server_, local, [this] {
                --inFlight_;
                pump();
            });
        }
    }

private:
    tcp::endpoint server_;
    std::size_t limit_;
    std::vector<std::pair<LoadClient*, asio::ip::address>> queue_;
    std::size_t next_ = 0;
    std::size_t inFlight_ = 0;
};

double ticksToSeconds(long ticks) {
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU ticks of a process's first thread (its event loop, for the server) and of the whole process.
struct Cpu {
    long loop = -1;
    long all = -1;
};

Cpu readCpu(pid_t pid) {
    return {cpuTicks("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/stat"),
            cpuTicks(processStatPath(pid))};
}

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty())
        return 0;
    const auto index = static_cast<std::size_t>(p / 100.0 * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

int runLoad(const LoadOptions& options) {
    boost::system::error_code ec;
    const auto serverAddress = asio::ip::make_address_v4(options.host, ec);
    if (ec) {
        std::fprintf(stderr, "brannoc-tally-load: --host must be an IPv4 address\n");
        return 2;
    }
    const tcp::endpoint server(serverAddress, options.port);
    const std::size_t addresses = (options.clients + options.perAddress - 1) / options.perAddress;
    if (addresses > 250) {
        std::fprintf(stderr, "brannoc-tally-load: %zu clients need more than 250 source addresses\n",
                     options.clients);
        return 2;
    }

    std::vector<std::unique_ptr<asio::io_context>> loops;
    for (std::size_t i = 0; i < options.threads; ++i)
        loops.push_back(std::make_unique<asio::io_context>(1));
    Counters counters;
    std::mt19937 random(options.seed);
    std::vector<std::unique_ptr<LoadClient>> clients;
    std::vector<std::unique_ptr<Connector>> connectors;
    std::vector<std::unique_ptr<Connector>> connectors2;
    const tcp::endpoint server2(serverAddress, options.port2);
    for (std::size_t t = 0; t < options.threads; ++t) {
        connectors.push_back(std::make_unique<Connector>(server, 256 / options.threads));
        if (options.port2)
            connectors2.push_back(std::make_unique<Connector>(server2, 256 / options.threads));
    }
    for (std::size_t i = 0; i < options.clients; ++i) {
        const std::size_t t = i % options.threads;
        const std::string user = "load-" + std::to_string(i);
        clients.push_back(std::make_unique<LoadClient>(
            *loops[t], counters, static_cast<unsigned>(random()),
            options.named ? wire::Writer("whoami").str(user).str("Load " + std::to_string(i)).frame() : ""));
        const auto local =
            asio::ip::make_address_v4(0x7F000002u + static_cast<unsigned>(i / options.perAddress));
        (options.port2 && i % 2 ? connectors2 : connectors)[t]->add(clients.back().get(), local);
    }
    Incrementer incrementer(*loops[0]);

    const Cpu serverAtStart = options.serverPid ? readCpu(options.serverPid) : Cpu{};
    const auto started = Clock::now();
    for (std::size_t t = 0; t < options.threads; ++t) {
        asio::post(*loops[t], [&connector = *connectors[t]] { connector.pump(); });
        if (options.port2)
            asio::post(*loops[t], [&connector = *connectors2[t]] { connector.pump(); });
    }
    std::vector<std::thread> threads;
    std::vector<asio::executor_work_guard<asio::io_context::executor_type>> guards;
    for (auto& loop : loops) {
        guards.push_back(asio::make_work_guard(*loop));
        threads.emplace_back([&io = *loop, batch = options.batchMs] {
            if (batch == 0) {
                io.run();
                return;
            }
            while (!io.stopped()) {
                io.poll();
                std::this_thread::sleep_for(std::chrono::milliseconds(batch));
            }
        });
    }
    auto finish = [&] {
        counters.stopping = true;
        for (std::size_t t = 0; t < options.threads; ++t)
            asio::post(*loops[t], [&, t] {
                for (std::size_t i = t; i < clients.size(); i += options.threads)
                    clients[i]->stop();
                if (t == 0)
                    incrementer.stop();
            });
        guards.clear();
        for (auto& loop : loops)
            loop->stop();
        for (auto& thread : threads)
            thread.join();
    };

    // Everyone connected and holding the current tally.
    while (counters.ready + counters.failed < options.clients && Clock::now() - started < 120s)
        std::this_thread::sleep_for(10ms);
    const double connectSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (counters.ready < options.clients) {
        std::fprintf(stderr, "brannoc-tally-load: only %zu of %zu connections got the tally\n",
                     counters.ready.load(), options.clients);
        finish();
        return 1;
    }
    if (!incrementer.connect(server)) {
        finish();
        return 1;
    }
    asio::post(*loops[0], [&] { incrementer.start(); });
    // The whoami's presence broadcast settles, and the pings spread over their 2 s.
    std::this_thread::sleep_for(2s);
    if (incrementer.firstTotal < 0) {
        std::fprintf(stderr, "brannoc-tally-load: the incrementing connection got no tally\n");
        finish();
        return 1;
    }

    const auto count = static_cast<std::size_t>(options.duration * options.rate + 0.5);
    const Cpu serverBefore = options.serverPid ? readCpu(options.serverPid) : Cpu{};
    std::vector<Cpu> watchedBefore;
    for (const auto& [name, pid] : options.watched)
        watchedBefore.push_back(readCpu(pid));
    const double settled = std::chrono::duration<double>(Clock::now() - started).count();
    const long selfBefore = cpuTicks(processStatPath(getpid()));
    const auto windowStart = Clock::now();
    asio::post(*loops[0], [&] {
        incrementer.begin(count, std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / options.rate)));
    });
    while (!incrementer.done)
        std::this_thread::sleep_for(10ms);
    // The last broadcasts arrive.
    const int first = incrementer.firstTotal;
    const auto drainStart = Clock::now();
    while (incrementer.lastTotal < first + static_cast<int>(count) && Clock::now() - drainStart < 3s)
        std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(500ms);
    const double window = std::chrono::duration<double>(Clock::now() - windowStart).count();
    const Cpu serverAfter = options.serverPid ? readCpu(options.serverPid) : Cpu{};
    std::vector<Cpu> watchedAfter;
    for (const auto& [name, pid] : options.watched)
        watchedAfter.push_back(readCpu(pid));
    const long selfAfter = cpuTicks(processStatPath(getpid()));
    const long serverPeak = options.serverPid ? peakKiB(options.serverPid) : -1;
    const long selfPeak = peakKiB(getpid());
    const std::size_t lostBeforeStop = counters.closed;
    finish();

    // Delivery of increment k: the first higher total at or above first + k + 1.
    const auto& sent = incrementer.sent;
    std::vector<double> delays;
    delays.reserve(sent.size() * clients.size());
    std::vector<double> firstDelays(sent.size(), 1e300);
    std::vector<double> lastDelays(sent.size(), 0);
    std::size_t missing = 0;
    std::size_t merged = 0; // delivered by a later total than the increment's own
    for (const auto& client : clients) {
        for (std::size_t k = 0; k < sent.size(); ++k) {
            const auto target = static_cast<std::uint16_t>(first + static_cast<int>(k) + 1);
            const auto it = std::lower_bound(
                client->records.begin(), client->records.end(), target,
                [](const LoadClient::Record& record, std::uint16_t value) { return record.total < value; });
            if (it == client->records.end()) {
                ++missing;
                continue;
            }
            merged += it->total != target;
            const double ms = static_cast<double>(it->ns - sent[k]) / 1e6;
            delays.push_back(ms);
            firstDelays[k] = std::min(firstDelays[k], ms);
            lastDelays[k] = std::max(lastDelays[k], ms);
        }
    }
    std::sort(delays.begin(), delays.end());
    // Increments no connection received have no first delivery.
    firstDelays.erase(std::remove(firstDelays.begin(), firstDelays.end(), 1e300), firstDelays.end());
    std::sort(firstDelays.begin(), firstDelays.end());
    std::sort(lastDelays.begin(), lastDelays.end());

    const int applied = incrementer.lastTotal - first;
    std::printf("brannoc-tally-load: %zu %sclients (%zu addresses, %zu each), %zu thread(s) %s, connected in "
                "%.1f s\n",
                options.clients, options.named ? "named " : "", addresses, options.perAddress,
                options.threads,
                options.batchMs ? ("reading every " + std::to_string(options.batchMs) + " ms").c_str()
                                : "woken by each message",
                connectSeconds);
    std::printf("increments: %zu sent at %.0f/s, %d applied (total %d -> %d); connections lost: %zu; "
                "deliveries by a later total (merged): %zu\n",
                sent.size(), options.rate, applied, first, incrementer.lastTotal.load(), lostBeforeStop,
                merged);
    if (applied != static_cast<int>(sent.size()))
        std::printf(
            "WARNING: the server refused increments (see its log): the figures below are not valid\n");
    std::printf("\n| clients | pairs | missing | p50 ms | p99 ms | max ms | first conn p50 ms | first conn "
                "p99 ms | last conn p50 ms | "
                "last conn p99 ms |\n|---|---|---|---|---|---|---|---|---|---|\n");
    std::printf("| %zu | %zu | %zu | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f |\n", options.clients,
                delays.size(), missing, percentile(delays, 50), percentile(delays, 99),
                delays.empty() ? 0 : delays.back(), percentile(firstDelays, 50), percentile(firstDelays, 99),
                percentile(lastDelays, 50), percentile(lastDelays, 99));
    // One line for bench/tally-load.sh to set beside another server's.
    std::printf("summary: p50 %.2f p99 %.2f max %.2f cpu %.1f peak %.1f\n", percentile(delays, 50),
                percentile(delays, 99), delays.empty() ? 0 : delays.back(),
                options.serverPid && serverBefore.all >= 0 && serverAfter.all >= 0
                    ? 100 * ticksToSeconds(serverAfter.all - serverBefore.all) / window
                    : -1.0,
                static_cast<double>(serverPeak) / 1024);
    if (options.serverPid && serverAtStart.all >= 0 && serverBefore.all >= 0)
        std::printf("\nconnecting and settling (%.1f s): server CPU %.2f s\n", settled,
                    ticksToSeconds(serverBefore.all - serverAtStart.all));
    std::printf("over %.1f s of increments:\n", window);
    if (options.serverPid && serverBefore.all >= 0 && serverAfter.all >= 0) {
        const double all = ticksToSeconds(serverAfter.all - serverBefore.all);
        const double loop = ticksToSeconds(serverAfter.loop - serverBefore.loop);
        std::printf("  server CPU %.2f s = %.1f %% of one core (event loop %.1f %%, other threads %.1f %%), "
                    "peak memory %.1f MiB\n",
                    all, 100 * all / window, 100 * loop / window, 100 * (all - loop) / window,
                    static_cast<double>(serverPeak) / 1024);
    }
    for (std::size_t i = 0; i < options.watched.size(); ++i) {
        const double all = ticksToSeconds(watchedAfter[i].all - watchedBefore[i].all);
        std::printf("  %s CPU %.2f s = %.1f %% of one core, peak memory %.1f MiB\n",
                    options.watched[i].first.c_str(), all, 100 * all / window,
                    static_cast<double>(peakKiB(options.watched[i].second)) / 1024);
    }
    const double self = ticksToSeconds(selfAfter - selfBefore);
    std::printf("  load generator CPU %.2f s = %.1f %% of one core, peak memory %.1f MiB\n", self,
                100 * self / window, static_cast<double>(selfPeak) / 1024);
    return missing == 0 && applied == static_cast<int>(sent.size()) ? 0 : 1;
}

// --- Named connect storm.

// TcpExt ListenOverflows + ListenDrops of this network namespace: connections the backlog dropped.
long listenDrops() {
    std::ifstream netstat("/proc/net/netstat");
    std::string names, values;
    while (std::getline(netstat, names) && std::getline(netstat, values)) {
        if (names.rfind("TcpExt:", 0) != 0)
            continue;
        std::istringstream n(names), v(values);
        std::string name, value;
        long sum = 0;
        while (n >> name && v >> value)
            if (name == "ListenOverflows" || name == "ListenDrops")
                sum += std::atol(value.c_str());
        return sum;
    }
    return -1;
}

// One named client of the storm: names itself at once and counts the users it knows online.
class StormClient {
public:
    StormClient(asio::io_context& io, Counters& counters, std::size_t index, std::size_t users)
        : socket_(io), counters_(counters), online_(users, false),
          whoami_(wire::Writer("whoami")
                      .str("load-" + std::to_string(index))
                      .str("Load " + std::to_string(index))
                      .frame()) {}

    void connect(const tcp::endpoint& server, const asio::ip::address& local, std::function<void()> done) {
        if (const auto ec = openFrom(socket_, local)) {
            fail("bind " + local.to_string() + ": " + ec.message());
            done();
            return;
        }
        socket_.async_connect(server, [this, done](boost::system::error_code error) {
            if (error) {
                fail("connect: " + error.message());
            } else {
                asio::async_write(socket_, asio::buffer(whoami_),
                                  [](boost::system::error_code, std::size_t) {});
                read();
            }
            done();
        });
    }
    void stop() {
        boost::system::error_code ignored;
        socket_.close(ignored);
    }

    std::int64_t doneNs = 0; // when it first held the tally with every user online

private:
    void fail(const std::string& why) {
        if (counters_.failed.fetch_add(1) < 5)
            std::fprintf(stderr, "brannoc-tally-load: %s\n", why.c_str());
    }

    // A "userstates": each user's state, counted by the number in its name.
    void states(wire::Reader& reader) {
        std::uint16_t n = 0, state = 0;
        std::string user, display;
        if (!reader.u16(n))
            return;
        for (std::uint16_t i = 0; i < n && reader.str(user) && reader.str(display) && reader.u16(state);
             ++i) {
            std::size_t k = 0;
            if (user.rfind("load-", 0) != 0 ||
                std::from_chars(user.data() + 5, user.data() + user.size(), k).ec != std::errc() ||
                k >= online_.size() || online_[k] == (state != 0))
                continue;
            online_[k] = state != 0;
            count_ += state != 0 ? 1 : -1;
        }
    }

    void read() {
        socket_.async_read_some(asio::buffer(buffer_), [this](boost::system::error_code ec, std::size_t n) {
            if (ec) {
                if (!counters_.stopping && counters_.closed.fetch_add(1) < 5)
                    std::fprintf(stderr, "brannoc-tally-load: connection lost: %s\n", ec.message().c_str());
                return;
            }
            frames_.append(buffer_.data(), n);
            std::string data, name;
            while (frames_.next(data) == wire::FrameReader::Status::Frame) {
                wire::Reader reader(data);
                if (!reader.str(name))
                    continue;
                tally_ = tally_ || name == "deathcount";
                if (name == "userstates")
                    states(reader);
            }
            if (doneNs == 0 && tally_ && count_ == static_cast<long>(online_.size())) {
                doneNs = nowNs();
                counters_.ready.fetch_add(1);
            }
            read();
        });
    }

    tcp::socket socket_;
    Counters& counters_;
    std::vector<bool> online_;
    long count_ = 0;
    bool tally_ = false;
    std::string whoami_;
    std::array<char, 16384> buffer_{};
    wire::FrameReader frames_{maxServerFrame};
};

int runStorm(const LoadOptions& options) {
    boost::system::error_code ec;
    const auto serverAddress = asio::ip::make_address_v4(options.host, ec);
    const std::size_t addresses = (options.clients + options.perAddress - 1) / options.perAddress;
    if (ec || addresses > 250) {
        std::fprintf(stderr, "brannoc-tally-load: an IPv4 --host and at most 250 source addresses\n");
        return 2;
    }
    const tcp::endpoint server(serverAddress, options.port);
    std::vector<std::unique_ptr<asio::io_context>> loops;
    for (std::size_t i = 0; i < options.threads; ++i)
        loops.push_back(std::make_unique<asio::io_context>(1));
    Counters counters;
    std::vector<std::unique_ptr<StormClient>> clients;
    for (std::size_t i = 0; i < options.clients; ++i)
        clients.push_back(
            std::make_unique<StormClient>(*loops[i % options.threads], counters, i, options.clients));

    const long dropsBefore = listenDrops();
    const Cpu serverBefore = options.serverPid ? readCpu(options.serverPid) : Cpu{};
    const std::int64_t started = nowNs();
    // All at once: each thread starts its clients' connects in one go.
    for (std::size_t t = 0; t < options.threads; ++t)
        asio::post(*loops[t], [&, t] {
            for (std::size_t i = t; i < clients.size(); i += options.threads)
                clients[i]->connect(
                    server,
                    asio::ip::make_address_v4(0x7F000002u + static_cast<unsigned>(i / options.perAddress)),
                    [] {});
        });
    std::vector<std::thread> threads;
    std::vector<asio::executor_work_guard<asio::io_context::executor_type>> guards;
    for (auto& loop : loops) {
        guards.push_back(asio::make_work_guard(*loop));
        threads.emplace_back([&io = *loop] { io.run(); });
    }
    const auto limit = Clock::now() + 120s;
    while (counters.ready + counters.failed < options.clients && Clock::now() < limit)
        std::this_thread::sleep_for(5ms);
    const double seconds = static_cast<double>(nowNs() - started) / 1e9;
    const Cpu serverAfter = options.serverPid ? readCpu(options.serverPid) : Cpu{};
    const long serverPeak = options.serverPid ? peakKiB(options.serverPid) : -1;
    const long dropsAfter = listenDrops();
    counters.stopping = true;
    for (std::size_t t = 0; t < options.threads; ++t)
        asio::post(*loops[t], [&, t] {
            for (std::size_t i = t; i < clients.size(); i += options.threads)
                clients[i]->stop();
        });
    guards.clear();
    for (auto& thread : threads)
        thread.join();

    std::vector<double> times;
    for (const auto& client : clients)
        if (client->doneNs)
            times.push_back(static_cast<double>(client->doneNs - started) / 1e9);
    std::sort(times.begin(), times.end());
    std::printf(
        "brannoc-tally-load: named connect storm of %zu clients (%zu addresses, %zu each), %zu thread(s)\n",
        options.clients, addresses, options.perAddress, options.threads);
    std::printf("every user online at %zu of %zu clients after %.2f s (per client: p50 %.2f s, max %.2f s); "
                "connects failed: %zu; connections lost: %zu\n",
                times.size(), options.clients, seconds, percentile(times, 50),
                times.empty() ? 0 : times.back(), counters.failed.load(), counters.closed.load());
    std::printf("listen backlog drops (ListenOverflows + ListenDrops): %ld\n",
                dropsBefore >= 0 && dropsAfter >= 0 ? dropsAfter - dropsBefore : -1);
    if (options.serverPid && serverBefore.all >= 0 && serverAfter.all >= 0)
        std::printf("server CPU %.2f s (event loop %.2f s), peak memory %.1f MiB\n",
                    ticksToSeconds(serverAfter.all - serverBefore.all),
                    ticksToSeconds(serverAfter.loop - serverBefore.loop),
                    static_cast<double>(serverPeak) / 1024);
    std::printf("load generator peak memory %.1f MiB\n", static_cast<double>(peakKiB(getpid())) / 1024);
    return times.size() == options.clients ? 0 : 1;
}

// --- Durability.

struct DurabilityOptions {
    std::size_t rounds = 100;
    std::string server;
    std::string dir;
    std::uint16_t port = 34567;
    unsigned seed = 1;
};

// A blocking client of the server on 127.0.0.1, for the durability rounds.
class Probe {
public:
    ~Probe() { close(); }
    bool connect(std::uint16_t port, std::chrono::milliseconds patience) {
        const auto until = Clock::now() + patience;
        for (;;) {
            fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                const int one = 1;
                setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                return true;
            }
            close();
            if (Clock::now() > until)
                return false;
            std::this_thread::sleep_for(10ms);
        }
    }
    void close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        frames_ = wire::FrameReader(maxServerFrame);
    }
    bool send(const std::string& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // Waits up to the deadline for bytes; each "deathcount" total goes to seen. False once closed.
    bool pump(Clock::time_point deadline, const std::function<void(int)>& seen) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::max<long>(0, left))) <= 0)
            return true;
        char buffer[4096];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        frames_.append(buffer, static_cast<std::size_t>(n));
        std::string data;
        while (frames_.next(data) == wire::FrameReader::Status::Frame) {
            const int total = deathcount(data);
            if (total >= 0)
                seen(total);
        }
        return true;
    }

private:
    int fd_ = -1;
    wire::FrameReader frames_{maxServerFrame};
};

pid_t startServer(const DurabilityOptions& options) {
    const std::string port = std::to_string(options.port);
    const std::string db = options.dir + "/tally.db";
    const std::string admin = options.dir + "/admin.sock";
    const std::string log = options.dir + "/server.log";
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
    }
    execl(options.server.c_str(), options.server.c_str(), "--bind", "127.0.0.1", "--port", port.c_str(),
          "--db", db.c_str(), "--admin-socket", admin.c_str(), static_cast<char*>(nullptr));
    _exit(127);
}

int runDurability(const DurabilityOptions& options) {
    std::mt19937 random(options.seed);
    std::uniform_int_distribution<int> killAfterMs(0, 1500);
    std::size_t failures = 0;
    std::size_t inFlightKills = 0; // kills with increments sent but not yet acknowledged
    std::size_t inFlightKept = 0;  // of those, restarts that had kept some of them
    int lastAck = 0;               // the highest total the server has broadcast
    int highestSent = 0;           // the total had every increment sent been applied
    pid_t server = -1;
    auto stopServer = [&](int signal) {
        if (server > 0) {
            kill(server, signal);
            waitpid(server, nullptr, 0);
        }
        server = -1;
    };
    for (std::size_t round = 0; round <= options.rounds; ++round) {
        server = startServer(options);
        Probe probe;
        if (!probe.connect(options.port, 10s)) {
            std::fprintf(stderr,
                         "brannoc-tally-load: round %zu: the server did not come up (see %s/server.log)\n",
                         round, options.dir.c_str());
            stopServer(SIGKILL);
            return 2;
        }
        int restored = -1;
        const auto tallyBy = Clock::now() + 5s;
        while (restored < 0 && Clock::now() < tallyBy)
            if (!probe.pump(tallyBy, [&](int total) { restored = std::max(restored, total); }))
                break;
        if (restored < 0) {
            std::fprintf(stderr, "brannoc-tally-load: round %zu: no tally from the server\n", round);
            stopServer(SIGKILL);
            return 2;
        }
        if (round > 0) {
            if (restored < lastAck || restored > highestSent) {
                ++failures;
                std::printf("round %zu: FAILED: restored %d, acknowledged %d, at most %d sent\n", round,
                            restored, lastAck, highestSent);
            } else if (highestSent > lastAck && restored > lastAck) {
                ++inFlightKept;
            }
        }
        if (round == options.rounds)
            break;
        lastAck = restored;
        highestSent = restored;
        // Increments every 120 ms (under the limit of 10 a second) until the kill.
        probe.send(wire::Writer("whoami").str("durability").str("Durability").frame());
        const auto start = Clock::now();
        const auto killAt = start + std::chrono::milliseconds(killAfterMs(random));
        auto nextIncrement = start;
        bool open = true;
        while (open && Clock::now() < killAt) {
            if (Clock::now() >= nextIncrement) {
                if (probe.send(incrementFrame()))
                    ++highestSent;
                nextIncrement += 120ms;
            }
            open = probe.pump(std::min(killAt, nextIncrement),
                              [&](int total) { lastAck = std::max(lastAck, total); });
        }
        stopServer(SIGKILL);
        if (highestSent > lastAck)
            ++inFlightKills;
        std::printf("round %zu: restored %d, sent %d, acknowledged up to %d, killed with %d in flight\n",
                    round + 1, restored, highestSent - restored, lastAck, highestSent - lastAck);
    }
    stopServer(SIGTERM);
    std::printf(
        "\ndurability: %zu of %zu restarts restored at least the acknowledged total (and no more than "
        "was sent); %zu kills had increments in flight, %zu of those restarts kept some; failures: %zu\n",
        options.rounds - failures, options.rounds, inFlightKills, inFlightKept, failures);
    return failures == 0 ? 0 : 1;
}

bool number(const char* text, unsigned long max, unsigned long& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtoul(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && out <= max;
}

int usage() {
    std::fprintf(
        stderr, "usage: brannoc-tally-load [--host A] [--port P] [--clients C] [--duration S] [--rate R]\n"
                "                          [--per-address N] [--threads T] [--server-pid PID] [--seed S]\n"
                "                          [--named yes] [--batch-ms N] [--port2 P] [--watch NAME=PID]...\n"
                "       brannoc-tally-load --storm yes [--clients C] [--threads T] [--server-pid PID]\n"
                "       brannoc-tally-load --durability K --server PATH [--port P] [--dir DIR] [--seed S]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    LoadOptions load;
    DurabilityOptions durability;
    bool durable = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            return usage();
        const char* value = argv[++i];
        unsigned long n = 0;
        if (arg == "--host") {
            load.host = value;
        } else if (arg == "--named") {
            load.named = value == std::string("yes");
        } else if (arg == "--storm") {
            load.storm = value == std::string("yes");
        } else if (arg == "--server") {
            durability.server = value;
        } else if (arg == "--dir") {
            durability.dir = value;
        } else if (arg == "--duration" || arg == "--rate") {
            char* end = nullptr;
            const double x = std::strtod(value, &end);
            if (end == value || *end != '\0' || x <= 0 || (arg == "--rate" && x > 9.5))
                return usage();
            (arg == "--duration" ? load.duration : load.rate) = x;
        } else if (arg == "--watch" && std::strchr(value, '=')) {
            // NAME=PID
            load.watched.emplace_back(std::string(value, std::strchr(value, '=')),
                                      static_cast<pid_t>(std::atoi(std::strchr(value, '=') + 1)));
        } else if (!number(value, 65535, n)) {
            return usage();
        } else if (arg == "--port" && n > 0) {
            load.port = durability.port = static_cast<std::uint16_t>(n);
        } else if (arg == "--clients" && n > 0) {
            load.clients = n;
        } else if (arg == "--per-address" && n > 0) {
            load.perAddress = n;
        } else if (arg == "--batch-ms" && n <= 100) {
            load.batchMs = static_cast<unsigned>(n);
        } else if (arg == "--threads" && n > 0 && n <= 16) {
            load.threads = n;
        } else if (arg == "--port2" && n > 0) {
            load.port2 = static_cast<std::uint16_t>(n);
        } else if (arg == "--server-pid" && n > 0) {
            load.serverPid = static_cast<pid_t>(n);
        } else if (arg == "--seed") {
            load.seed = durability.seed = static_cast<unsigned>(n);
        } else if (arg == "--durability" && n > 0) {
            durable = true;
            durability.rounds = n;
        } else {
            return usage();
        }
    }
    if (!durable)
        return load.storm ? runStorm(load) : runLoad(load);
    if (durability.server.empty())
        return usage();
    if (durability.dir.empty()) {
        char pattern[] = "/tmp/brannoc-durability-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            std::perror("brannoc-tally-load: mkdtemp");
            return 2;
        }
        durability.dir = pattern;
    }
    std::filesystem::create_directories(durability.dir);
    std::printf("durability: %zu rounds, server %s, database %s/tally.db\n", durability.rounds,
                durability.server.c_str(), durability.dir.c_str());
    return runDurability(durability);
}

#include "server/common/Metrics.hpp"

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace metrics {

namespace {

// Taken as the program loads: the service's sandbox may hide /proc/stat, and with it the boot time
// that the start time in /proc/self/stat counts from.
const double startTime = [] {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}();

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

} // namespace

void Histogram::observe(double seconds) {
    for (std::size_t i = 0; i < durationBuckets.size(); ++i)
        if (seconds <= durationBuckets[i]) {
            ++buckets_[i];
            break;
        }
    ++count_;
    sum_ += seconds;
}

void Exposition::family(const std::string& name, const std::string& help, const char* type) {
    text_ += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Exposition::gauge(const std::string& name, const std::string& help, double value) {
    family(name, help, "gauge");
    text_ += name + " " + number(value) + "\n";
}

void Exposition::counter(const std::string& name, const std::string& help, double value) {
    family(name, help, "counter");
    text_ += name + " " + number(value) + "\n";
}

void Exposition::counter(const std::string& name, const std::string& help, const std::string& label,
                         const std::vector<std::pair<std::string, double>>& samples) {
    family(name, help, "counter");
    // Label values are fixed names of ours, never a peer's text: nothing to escape.
    for (const auto& [value, count] : samples)
        text_ += name + "{" + label + "=\"" + value + "\"} " + number(count) + "\n";
}

void Exposition::histogram(const std::string& name, const std::string& help, const Histogram& histogram) {
    family(name, help, "histogram");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < durationBuckets.size(); ++i) {
        cumulative += histogram.buckets()[i];
        text_ +=
            name + "_bucket{le=\"" + number(durationBuckets[i]) + "\"} " + std::to_string(cumulative) + "\n";
    }
    text_ += name + "_bucket{le=\"+Inf\"} " + std::to_string(histogram.count()) + "\n";
    text_ += name + "_sum " + number(histogram.sum()) + "\n";
    text_ += name + "_count " + std::to_string(histogram.count()) + "\n";
}

void Exposition::process() {
    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    // /proc/self/stat: the command may hold spaces and parentheses, so fields count from the last ')'.
    std::ifstream statFile("/proc/self/stat");
    const std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::vector<std::string> f((std::istream_iterator<std::string>(fields)),
                               std::istream_iterator<std::string>());
    // After the command: state is field 3, utime 14, stime 15, rss 24 (from 1).
    const auto field = [&](std::size_t n) { return f.size() > n - 3 ? std::stod(f[n - 3]) : 0.0; };
    std::size_t fds = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir))
            fds += entry->d_name[0] != '.';
        ::closedir(dir);
        --fds; // the one opendir itself holds
    }
    counter("process_cpu_seconds_total", "Total user and system CPU time spent in seconds.",
            (field(14) + field(15)) / ticks);
    gauge("process_resident_memory_bytes", "Resident memory size in bytes.",
          field(24) * static_cast<double>(::sysconf(_SC_PAGESIZE)));
    gauge("process_open_fds", "Number of open file descriptors.", static_cast<double>(fds));
    gauge("process_start_time_seconds", "Start time of the process since unix epoch in seconds.", startTime);
}

} // namespace metrics

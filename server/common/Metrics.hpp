#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Prometheus's text exposition format (version 0.0.4), written by both servers on their HTTP ports.
namespace metrics {

constexpr const char* contentType = "text/plain; version=0.0.4; charset=utf-8";

// The upper bounds, in seconds, of the servers' duration histograms.
constexpr std::array<double, 11> durationBuckets = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                                    0.05,   0.1,   0.25,   0.5,   1};

// Observed durations, counted per bucket as they come (the exposition makes them cumulative).
class Histogram {
public:
    void observe(double seconds);
    const std::array<std::uint64_t, durationBuckets.size()>& buckets() const { return buckets_; }
    std::uint64_t count() const { return count_; }
    double sum() const { return sum_; }

private:
    std::array<std::uint64_t, durationBuckets.size()> buckets_{};
    std::uint64_t count_ = 0;
    double sum_ = 0;
};

// One scrape's text: each family with its HELP and TYPE lines, then its samples.
class Exposition {
public:
    void gauge(const std::string& name, const std::string& help, double value);
    void counter(const std::string& name, const std::string& help, double value);
    // A counter family with one label: a sample per (label value, count).
    void counter(const std::string& name, const std::string& help, const std::string& label,
                 const std::vector<std::pair<std::string, double>>& samples);
    void histogram(const std::string& name, const std::string& help, const Histogram& histogram);
    // The process's own families, named as Prometheus's client libraries name them, read from /proc.
    void process();
    const std::string& text() const { return text_; }

private:
    void family(const std::string& name, const std::string& help, const char* type);
    std::string text_;
};

} // namespace metrics

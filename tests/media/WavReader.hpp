#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// Reads 16-bit PCM WAV files chunk by chunk, accepting both the plain and the extensible format
// header, and a data size of 0xFFFFFFFF (a writer that never finalised its header): the samples
// then run to the end of the file.
struct WavData {
    bool ok = false;
    unsigned channels = 0;
    unsigned sampleRate = 0;
    unsigned bitsPerSample = 0;
    std::vector<std::int16_t> samples;
};

inline WavData readWav(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                           std::istreambuf_iterator<char>());
    auto le = [&bytes](std::size_t at, int count) {
        std::uint32_t value = 0;
        for (int i = count - 1; i >= 0; --i)
            value = (value << 8) | bytes[at + static_cast<std::size_t>(i)];
        return value;
    };
    WavData wav;
    if (bytes.size() < 12 || std::string(bytes.begin(), bytes.begin() + 4) != "RIFF" ||
        std::string(bytes.begin() + 8, bytes.begin() + 12) != "WAVE")
        return wav;
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const std::string id(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                             bytes.begin() + static_cast<std::ptrdiff_t>(at + 4));
        std::size_t size = le(at + 4, 4);
        at += 8;
        if (size > bytes.size() - at)
            size = bytes.size() - at;
        if (id == "fmt " && size >= 16) {
            const std::uint32_t format = le(at, 2);
            wav.channels = le(at + 2, 2);
            wav.sampleRate = le(at + 4, 4);
            wav.bitsPerSample = le(at + 14, 2);
            if (format != 1 && format != 0xFFFE)
                return wav;
        } else if (id == "data") {
            if (wav.bitsPerSample != 16)
                return wav;
            for (std::size_t i = 0; i + 1 < size; i += 2)
                wav.samples.push_back(static_cast<std::int16_t>(le(at + i, 2)));
            wav.ok = true;
            return wav;
        }
        at += size + (size & 1);
    }
    return wav;
}

inline int peakOf(const std::vector<std::int16_t>& samples) {
    int peak = 0;
    for (std::int16_t s : samples)
        peak = std::max(peak, s < 0 ? -static_cast<int>(s) : static_cast<int>(s));
    return peak;
}

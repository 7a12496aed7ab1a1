#include "tests/support/WavReader.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace {

constexpr std::uint32_t unfinishedSize = 0xFFFFFFFFu;
constexpr std::uint16_t formatPcm = 0x0001;
constexpr std::uint16_t formatExtensible = 0xFFFE;

std::uint32_t le(const std::string& bytes, std::size_t at, int count) {
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

WavData failure(std::string why) {
    WavData data;
    data.error = std::move(why);
    return data;
}

} // namespace

std::int32_t WavData::peak() const {
    std::int64_t best = 0;
    for (const std::int32_t sample : samples)
        best = std::max<std::int64_t>(best, std::llabs(sample));
    return static_cast<std::int32_t>(std::min<std::int64_t>(best, INT32_MAX));
}

WavData WavReader::parse(const std::string& bytes) {
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0)
        return failure("not a RIFF/WAVE file");
    WavData data;
    data.sizesUnfinished = le(bytes, 4, 4) == unfinishedSize;

    bool haveFormat = false;
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const std::string id = bytes.substr(at, 4);
        const std::uint32_t declared = le(bytes, at + 4, 4);
        const std::size_t body = at + 8;
        const std::size_t available = bytes.size() - body;
        std::size_t size = declared;
        if (declared == unfinishedSize || declared > available) {
            data.sizesUnfinished = data.sizesUnfinished || declared == unfinishedSize;
            size = available;
        }

        if (id == "fmt ") {
            if (size < 16)
                return failure("fmt chunk too short");
            std::uint16_t tag = static_cast<std::uint16_t>(le(bytes, body, 2));
            data.channels = static_cast<std::uint16_t>(le(bytes, body + 2, 2));
            data.sampleRate = le(bytes, body + 4, 4);
            data.bitsPerSample = static_cast<std::uint16_t>(le(bytes, body + 14, 2));
            if (tag == formatExtensible) {
                // cbSize, valid bits, channel mask, then the sub-format GUID whose first two bytes
                // are the plain format tag.
                if (size < 40)
                    return failure("extensible fmt chunk too short");
                tag = static_cast<std::uint16_t>(le(bytes, body + 24, 2));
            }
            if (tag != formatPcm)
                return failure("sample format " + std::to_string(tag) + " is not integer PCM");
            if (data.channels == 0 || (data.bitsPerSample != 8 && data.bitsPerSample != 16 &&
                                       data.bitsPerSample != 24 && data.bitsPerSample != 32))
                return failure("unsupported channel count or sample width");
            haveFormat = true;
        } else if (id == "data") {
            if (!haveFormat)
                return failure("data chunk before fmt chunk");
            const std::size_t width = data.bitsPerSample / 8u;
            const std::size_t frameBytes = width * data.channels;
            const std::size_t count = size / frameBytes * data.channels;
            data.samples.reserve(count);
            for (std::size_t i = 0; i < count; ++i) {
                const std::uint32_t raw = le(bytes, body + i * width, static_cast<int>(width));
                std::int64_t value = raw;
                if (width == 1)
                    value -= 128;
                else if (raw & (1u << (width * 8 - 1)))
                    value -= std::int64_t{1} << (width * 8);
                data.samples.push_back(static_cast<std::int32_t>(value));
            }
            data.ok = true;
            return data;
        }
        // Chunks are padded to an even length.
        at = body + size + (size & 1u);
    }
    return failure(haveFormat ? "no data chunk" : "no fmt chunk");
}

WavData WavReader::read(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return failure("cannot open " + path);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return parse(bytes);
}

namespace {

std::size_t onset(const std::vector<std::int32_t>& samples, std::int32_t threshold) {
    const auto at = std::find_if(samples.begin(), samples.end(),
                                 [threshold](std::int32_t s) { return std::abs(s) >= threshold; });
    return static_cast<std::size_t>(at - samples.begin());
}

} // namespace

PlaybackMatch matchPlayback(const WavData& source, const WavData& recording, double scale) {
    PlaybackMatch match;
    const std::int32_t peak = source.peak();
    const std::size_t strike = onset(recording.samples, peak / 40);
    const std::size_t sourceStrike = onset(source.samples, peak / 10);
    if (peak == 0 || strike >= recording.samples.size() || strike < sourceStrike)
        return match;
    const std::size_t offset = strike - sourceStrike;
    if (recording.samples.size() < offset + source.samples.size())
        return match;
    double product = 0, recordedEnergy = 0, expectedEnergy = 0;
    for (std::size_t i = 0; i < source.samples.size(); ++i) {
        const double want = source.samples[i] * scale;
        const double got = recording.samples[offset + i];
        product += want * got;
        recordedEnergy += got * got;
        expectedEnergy += want * want;
    }
    match.found = true;
    match.correlation = product / std::sqrt(recordedEnergy * expectedEnergy);
    match.energyRatio = recordedEnergy / expectedEnergy;
    for (std::size_t i = offset + source.samples.size(); i < recording.samples.size(); ++i)
        match.peakAfter = std::max(match.peakAfter, std::abs(recording.samples[i]));
    return match;
}

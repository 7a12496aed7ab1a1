#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Integer PCM audio read from a RIFF/WAVE file.
struct WavData {
    bool ok = false;
    std::string error; // why ok is false
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint16_t bitsPerSample = 0;
    bool sizesUnfinished = false;      // a size field still held the writer's 0xFFFFFFFF placeholder
    std::vector<std::int32_t> samples; // interleaved, signed (8-bit data re-centred on 0)

    std::size_t frames() const { return channels == 0 ? 0 : samples.size() / channels; }
    // Largest absolute sample value, 0 for silence.
    std::int32_t peak() const;
};

// Reads WAVE files chunk by chunk, so that the plain PCM header and WAVE_FORMAT_EXTENSIBLE both
// work, unknown chunks are skipped, and a file whose writer was killed (RIFF and data sizes left at
// 0xFFFFFFFF, or a data size larger than the file) yields the whole frames that are present.
namespace WavReader {

WavData parse(const std::string& bytes);
WavData read(const std::string& path);

} // namespace WavReader

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

// How a recording holds one playing of a mono source scaled by a factor: the source's strike
// (first sample reaching a tenth of its peak) lined up with the recording's (a fortieth), then
// compared sample by sample over the whole source.
struct PlaybackMatch {
    bool found = false;         // the recording holds a strike and the whole source after it
    double correlation = 0;     // 1 for the same shape
    double energyRatio = 0;     // recorded energy over the scaled source's
    std::int32_t peakAfter = 0; // loudest recorded sample after the source has ended
};

PlaybackMatch matchPlayback(const WavData& source, const WavData& recording, double scale);

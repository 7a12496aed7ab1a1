#include "tests/support/WavReader.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>

bool loadCapture(sf::SoundBuffer& buffer, const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::size_t data = bytes.find("data", 12);
    // The frame size (block align, low byte) of the fmt chunk, which the writer puts first.
    const std::size_t frame = bytes.size() < 36 ? 0 : static_cast<unsigned char>(bytes[32]);
    if (data == std::string::npos || data + 8 > bytes.size() || frame == 0)
        return false;
    bytes.resize(data + 8 + (bytes.size() - data - 8) / frame * frame);
    for (const std::size_t at : {std::size_t{4}, data + 4})
        for (std::size_t i = 0, size = bytes.size() - at - 4; i < 4; ++i)
            bytes[at + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
    return buffer.loadFromMemory(bytes.data(), bytes.size());
}

int peak(const sf::SoundBuffer& buffer) {
    int best = 0;
    for (std::size_t i = 0; i < buffer.getSampleCount(); ++i)
        best = std::max(best, std::abs(static_cast<int>(buffer.getSamples()[i])));
    return best;
}

PlaybackMatch matchPlayback(const sf::SoundBuffer& source, const sf::SoundBuffer& recording, double scale) {
    PlaybackMatch match;
    const int sourcePeak = peak(source);
    const sf::Int16 *want = source.getSamples(), *got = recording.getSamples();
    const std::size_t length = source.getSampleCount(), recorded = recording.getSampleCount();
    const auto onset = [](const sf::Int16* samples, std::size_t count, int threshold) {
        return static_cast<std::size_t>(
            std::find_if(samples, samples + count, [threshold](int s) { return std::abs(s) >= threshold; }) -
            samples);
    };
    const std::size_t strike = onset(got, recorded, sourcePeak / 40),
                      sourceStrike = onset(want, length, sourcePeak / 10);
    if (sourcePeak == 0 || strike >= recorded || strike < sourceStrike ||
        recorded < strike - sourceStrike + length)
        return match;
    got += strike - sourceStrike;
    double product = 0, recordedEnergy = 0, expectedEnergy = 0;
    for (std::size_t i = 0; i < length; ++i) {
        product += want[i] * scale * got[i];
        recordedEnergy += static_cast<double>(got[i]) * got[i];
        expectedEnergy += want[i] * scale * want[i] * scale;
    }
    match.found = true;
    match.correlation = product / std::sqrt(recordedEnergy * expectedEnergy);
    match.energyRatio = recordedEnergy / expectedEnergy;
    for (std::size_t i = length; strike - sourceStrike + i < recorded; ++i)
        match.peakAfter = std::max(match.peakAfter, std::abs(static_cast<int>(got[i])));
    return match;
}

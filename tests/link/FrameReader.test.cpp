#include "link/FrameReader.hpp"

#include <gtest/gtest.h>

#include <tuple>

namespace {

// The frames found in a stream read at most chunk bytes at a time, as the receive loop does.
std::vector<std::string> readStream(const std::string& stream, std::size_t chunk) {
    FrameReader reader;
    std::vector<std::string> frames;
    for (std::size_t at = 0, n = 0; at < stream.size(); at += n) {
        n = std::min(reader.wanted(chunk), stream.size() - at);
        const FrameReader::Progress progress = reader.take(stream.data() + at, n);
        if (progress == FrameReader::Progress::TooLarge)
            return frames.push_back("too large"), frames;
        if (progress == FrameReader::Progress::Whole)
            frames.emplace_back(reader.body().begin(), reader.body().end()), reader.clear();
    }
    return frames;
}

std::string prefix(std::uint32_t size) {
    return {char(size >> 24), char(size >> 16), char(size >> 8), char(size)};
}

} // namespace

TEST(FrameReader, SplitsTheStreamIntoFramesAndRefusesOversizedOnesAtTheirPrefix) {
    const std::string three = prefix(3) + "abc" + prefix(0) + prefix(1) + "z";
    const std::tuple<std::string, std::size_t, std::vector<std::string>> cases[] = {
        {three, 1, {"abc", "", "z"}},
        {three, 16384, {"abc", "", "z"}}, // large reads stop at each frame's end
        {prefix(16u << 20) + "abc", 16384, {}},
        {prefix((16u << 20) + 1), 16384, {"too large"}}, // refused before any of the body
        {prefix(1) + "z" + prefix(0xFFFFFFFFu) + std::string(64, 'x'), 7, {"z", "too large"}}};
    for (const auto& [stream, chunk, frames] : cases)
        EXPECT_EQ(readStream(stream, chunk), frames) << testing::PrintToString(stream.substr(0, 8));
}

#include "link/FrameReader.hpp"

#include <gtest/gtest.h>

#include <tuple>

namespace {

// The frames a reader finds in the stream fed in reads of at most chunk bytes, as the receive
// loop does; a refused prefix ends the list with "too large".
std::vector<std::string> readStream(const std::string& stream, std::size_t chunk) {
    FrameReader reader;
    std::vector<std::string> frames;
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t n = std::min(reader.wanted(chunk), stream.size() - at);
        const FrameReader::Progress progress = reader.take(stream.data() + at, n);
        at += n;
        if (progress == FrameReader::Progress::TooLarge)
            return frames.push_back("too large"), frames;
        if (progress == FrameReader::Progress::Whole) {
            frames.emplace_back(reader.body().begin(), reader.body().end());
            reader.clear();
        }
    }
    return frames;
}

std::string prefix(std::uint32_t size) {
    return {char(size >> 24), char(size >> 16), char(size >> 8), char(size)};
}

} // namespace

TEST(FrameReader, SplitsTheStreamIntoFramesAndRefusesOversizedOnesAtTheirPrefix) {
    const std::string three = prefix(3) + "abc" + prefix(0) + prefix(1) + "z";
    const std::tuple<const char*, std::string, std::size_t, std::vector<std::string>> cases[] = {
        {"byte by byte", three, 1, {"abc", "", "z"}},
        {"large reads stop at each frame's end", three, 16384, {"abc", "", "z"}},
        {"a frame of the limit is waited for", prefix(16u << 20) + "abc", 16384, {}},
        {"one byte over the limit is refused with no body", prefix((16u << 20) + 1), 16384, {"too large"}},
        {"4 GiB after a good frame",
         prefix(1) + "z" + prefix(0xFFFFFFFFu) + std::string(64, 'x'),
         7,
         {"z", "too large"}}};
    for (const auto& [what, stream, chunk, frames] : cases)
        EXPECT_EQ(readStream(stream, chunk), frames) << what;
}

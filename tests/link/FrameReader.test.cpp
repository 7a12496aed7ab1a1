#include "link/FrameReader.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Outcome {
    std::vector<std::string> frames;
    bool tooLarge = false;
};

// Feeds the stream to a reader in reads of at most chunk bytes, as the receive loop does.
Outcome readStream(const std::string& stream, std::size_t chunk) {
    FrameReader reader;
    Outcome outcome;
    for (std::size_t at = 0; at < stream.size() && !outcome.tooLarge;) {
        const std::size_t n = std::min(reader.wanted(chunk), stream.size() - at);
        const FrameReader::Progress progress = reader.take(stream.data() + at, n);
        at += n;
        if (progress == FrameReader::Progress::Whole) {
            outcome.frames.emplace_back(reader.body().begin(), reader.body().end());
            reader.clear();
        }
        outcome.tooLarge = progress == FrameReader::Progress::TooLarge;
    }
    return outcome;
}

std::string prefix(std::uint32_t size) {
    return {static_cast<char>(size >> 24), static_cast<char>(size >> 16), static_cast<char>(size >> 8),
            static_cast<char>(size)};
}

} // namespace

TEST(FrameReader, SplitsTheStreamIntoFramesAndRefusesOversizedOnesAtTheirPrefix) {
    const std::string three = prefix(3) + "abc" + prefix(0) + prefix(1) + "z";
    const struct {
        const char* what;
        std::string stream;
        std::size_t chunk;
        std::vector<std::string> frames;
        bool tooLarge;
    } cases[] = {
        {"byte by byte", three, 1, {"abc", "", "z"}, false},
        {"large reads stop at each frame's end", three, 16384, {"abc", "", "z"}, false},
        {"a frame of the limit is waited for", prefix(16u << 20) + "abc", 16384, {}, false},
        {"one byte over the limit is refused with no body", prefix((16u << 20) + 1), 16384, {}, true},
        {"4 GiB after a good frame",
         prefix(1) + "z" + prefix(0xFFFFFFFFu) + std::string(64, 'x'),
         7,
         {"z"},
         true},
    };
    for (const auto& each : cases) {
        const Outcome outcome = readStream(each.stream, each.chunk);
        EXPECT_EQ(outcome.frames, each.frames) << each.what;
        EXPECT_EQ(outcome.tooLarge, each.tooLarge) << each.what;
    }
}

#include "link/FrameReader.hpp"

#include <gtest/gtest.h>

// Frames split anyhow and back to back are the packet thread's tests; here, the limit's edge.
TEST(FrameReader, WaitsForAFrameOfTheLimitAndRefusesOneByteMoreAtItsPrefix) {
    for (const std::uint32_t size : {16u << 20, (16u << 20) + 1}) {
        FrameReader reader;
        const char prefix[] = {char(size >> 24), char(size >> 16), char(size >> 8), char(size)};
        EXPECT_EQ(reader.take(prefix, 4),
                  size == 16u << 20 ? FrameReader::Progress::Incomplete : FrameReader::Progress::TooLarge);
        EXPECT_LT(reader.body().capacity(), 16384u) << "no room taken for the announced size";
    }
}

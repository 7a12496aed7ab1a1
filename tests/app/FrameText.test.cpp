#include "app/FrameText.hpp"

#include <gtest/gtest.h>

#include <iterator>

TEST(FrameText, MinutesBelowAnHourPaddedFromAnHourOnAndSecondsWrappingAfter65536) {
    const double seconds[] = {
        0, 59.999, 60, 3599, 3600, 3725.2, 36000, 65535.9, 65536, 65536 + 61.5, 2 * 65536.0 + 3725.2};
    const char* const shown[] = {"0:00",     "0:59",     "1:00", "59:59", "1:00:00", "1:02:05",
                                 "10:00:00", "18:12:15", "0:00", "1:01",  "1:02:05"};
    for (std::size_t i = 0; i < std::size(seconds); ++i)
        EXPECT_EQ(formatElapsed(displayedSeconds(seconds[i])), shown[i]) << seconds[i];
}

#include "app/FrameText.hpp"

#include <gtest/gtest.h>

TEST(FormatElapsed, MinutesBelowAnHourAndPaddedMinutesFromAnHourOn) {
    EXPECT_EQ(formatElapsed(0), "0:00");
    EXPECT_EQ(formatElapsed(59), "0:59");
    EXPECT_EQ(formatElapsed(60), "1:00");
    EXPECT_EQ(formatElapsed(3599), "59:59");
    EXPECT_EQ(formatElapsed(3600), "1:00:00");
    EXPECT_EQ(formatElapsed(3725), "1:02:05");
    EXPECT_EQ(formatElapsed(36000), "10:00:00");
    EXPECT_EQ(formatElapsed(65535), "18:12:15");
}

TEST(DisplayedSeconds, TruncatesAndWrapsAfter65536Seconds) {
    EXPECT_EQ(displayedSeconds(0.0), 0);
    EXPECT_EQ(displayedSeconds(59.999), 59);
    EXPECT_EQ(displayedSeconds(65535.9), 65535);
    EXPECT_EQ(displayedSeconds(65536.0), 0);
    EXPECT_EQ(displayedSeconds(65536.0 + 61.5), 61);
    EXPECT_EQ(formatElapsed(displayedSeconds(2 * 65536.0 + 3725.2)), "1:02:05");
}

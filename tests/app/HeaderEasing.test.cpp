#include "app/HeaderEasing.hpp"

#include <gtest/gtest.h>

TEST(HeaderEasing, FadeFromBlackSettlesExactlyOnFrame110) {
    HeaderColour current;
    const HeaderColour target{140.f, 140.f, 140.f};
    int frames = 0;
    while (current.r != target.r && frames < 1000) {
        easeHeaderColour(current, target);
        ++frames;
        if (frames == 109) {
            EXPECT_NE(current.r, 140.f) << "settled a frame early";
        }
    }
    EXPECT_EQ(frames, 110);
    EXPECT_EQ(current.g, 140.f);
    EXPECT_EQ(current.b, 140.f);
    // The truncated channel the bar shows is 139 only on the frames before the snap.
    easeHeaderColour(current, target);
    EXPECT_EQ(current.r, 140.f);
}

TEST(HeaderEasing, ChannelsMoveIndependentlyAndANewTargetRedirects) {
    HeaderColour current{0.f, 96.f, 204.f};
    easeHeaderColour(current, HeaderColour{12.f, 96.f, 0.f});
    EXPECT_FLOAT_EQ(current.r, 1.f);
    EXPECT_EQ(current.g, 96.f);
    EXPECT_FLOAT_EQ(current.b, 187.f);
    easeHeaderColour(current, HeaderColour{1.f, 0.f, 187.f});
    EXPECT_EQ(current.r, 1.f);
    EXPECT_FLOAT_EQ(current.g, 88.f);
    EXPECT_EQ(current.b, 187.f);
}

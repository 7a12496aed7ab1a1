#include "app/HeaderEasing.hpp"

#include <gtest/gtest.h>

TEST(HeaderEasing, FadeFromBlackSettlesExactlyOnFrame110) {
    HeaderColour current;
    int frames = 0;
    for (; current.r != 140.f && frames < 1000; ++frames)
        easeHeaderColour(current, HeaderColour{140.f, 140.f, 140.f});
    EXPECT_EQ(frames, 110);
}

TEST(HeaderEasing, ChannelsMoveIndependentlyAndANewTargetRedirects) {
    HeaderColour current{0.f, 96.f, 204.f};
    easeHeaderColour(current, HeaderColour{12.f, 96.f, 0.f});
    EXPECT_FLOAT_EQ(current.r, 1.f);
    EXPECT_EQ(current.g, 96.f);
    EXPECT_FLOAT_EQ(current.b, 187.f);
    easeHeaderColour(current, HeaderColour{1.f, 0.f, 187.f});
    EXPECT_FLOAT_EQ(current.g, 88.f);
}

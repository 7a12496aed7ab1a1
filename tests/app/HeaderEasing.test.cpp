#include "app/HeaderEasing.hpp"

#include <gtest/gtest.h>

TEST(HeaderEasing, ChannelsMoveATwelfthOfTheWaySnapWithinAHundredthAndFollowANewTarget) {
    HeaderColour current;
    int frames = 0;
    for (; current.r != 140.f && frames < 1000; ++frames)
        easeHeaderColour(current, HeaderColour{140.f, 140.f, 140.f});
    EXPECT_EQ(frames, 110);
    current = HeaderColour{0.f, 96.f, 204.f};
    easeHeaderColour(current, HeaderColour{12.f, 96.f, 0.f});
    EXPECT_TRUE(current.r == 1.f && current.g == 96.f && current.b == 187.f) << current.r << " " << current.b;
    easeHeaderColour(current, HeaderColour{1.f, 0.f, 187.f});
    EXPECT_EQ(current.g, 88.f);
}

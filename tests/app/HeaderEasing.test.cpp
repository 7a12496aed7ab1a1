#include "app/HeaderEasing.hpp"

#include <gtest/gtest.h>

TEST(HeaderEasing, ChannelsMoveATwelfthOfTheWayAndSnapWithinAHundredth) {
    HeaderColour current{0.f, 96.f, 0.f};
    int frames = 0;
    for (; current.r != 140.f && frames < 1000; ++frames)
        easeHeaderColour(current, HeaderColour{140.f, 96.f, 12.f});
    EXPECT_EQ(frames, 110);
    EXPECT_TRUE(current.g == 96.f && current.b == 12.f) << current.g << " " << current.b;
}

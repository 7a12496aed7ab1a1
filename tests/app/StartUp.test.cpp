#include "app/StartUp.hpp"

#include <gtest/gtest.h>

TEST(StartUp, OnlyTheExactSwitchWithATokenAfterItSignsIn) {
    const char* const argv[] = {"brannoc", "-token", "tk-7", "extra", "-token"};
    EXPECT_EQ(StartUp::tokenArgument(5, argv), "tk-7");
    EXPECT_EQ(StartUp::tokenArgument(3, argv), "tk-7");
    EXPECT_EQ(StartUp::tokenArgument(2, argv), std::nullopt);
    EXPECT_EQ(StartUp::tokenArgument(1, argv), std::nullopt);
    for (const char* other : {"-TOKEN", "--token", "-tokens", "-toke", "tk-7"}) {
        const char* const otherArgv[] = {"brannoc", other, "tk-7"};
        EXPECT_EQ(StartUp::tokenArgument(3, otherArgv), std::nullopt) << other;
    }
}

TEST(StartUp, ThePairOfWindowsIsCentredWithItsTopOnTheDesktop) {
    const std::pair<sf::Vector2u, sf::Vector2i> rows[] = {{{1920, 1080}, {640, 140}},
                                                          {{1921, 1081}, {640, 140}},
                                                          {{1024, 600}, {192, 0}},
                                                          {{599, 799}, {-20, 0}}};
    for (const auto& [desktop, place] : rows)
        EXPECT_EQ(StartUp::mainWindowPlace(desktop), place) << desktop.x << " x " << desktop.y;
}

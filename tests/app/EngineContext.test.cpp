#include "app/EngineContext.hpp"

#include <gtest/gtest.h>

TEST(EngineContext, ViewSetUpMapsTheLogicalSpaceOverAWindowOfAnotherSize) {
    sf::RenderWindow window(sf::VideoMode(320, 200), "view test", sf::Style::None);
    testing::internal::CaptureStdout();
    setUpView(window);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "view size: 320 x 200\nview size: 640 x 400\n");
    EXPECT_FLOAT_EQ(mouseScale, 2.f);
    EXPECT_EQ(window.getView().getCenter(), sf::Vector2f(320.f, 200.f));
    EXPECT_EQ(window.getView().getSize(), sf::Vector2f(640.f, 400.f));
}

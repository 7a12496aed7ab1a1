#include "app/EngineContext.hpp"

#include <gtest/gtest.h>

TEST(EngineContext, ViewSetUpMapsTheLogicalSpaceOverTheWindowAndInitialiseForgetsEverything) {
    sf::RenderWindow window(sf::VideoMode(320, 200), "view test", sf::Style::None);
    testing::internal::CaptureStdout();
    EngineContext::setView(sf::View()); // initialises the context, once
    getSetting("window.width").text = "kept";
    setUpView(window);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "view size: 1000 x 1000\nview size: 320 x 200\nview size: 640 x 400\n");
    EXPECT_FLOAT_EQ(mouseScale, 2.f);
    const SettingValue& width = getSetting("window.width");
    EXPECT_TRUE(width.type == 3 && width.text == "kept" && width.number == 640.f);
    EXPECT_EQ(getSetting("window.height").number, 400.f);
    EXPECT_EQ(window.getView().getCenter(), sf::Vector2f(320.f, 200.f));
    EXPECT_EQ(window.getView().getSize(), sf::Vector2f(640.f, 400.f));

    EngineContext::window = &window;
    EngineContext::initialise();
    EXPECT_TRUE(EngineContext::settings.size() == 1 && EngineContext::settings.count(""))
        << "only the empty name";
    EXPECT_EQ(EngineContext::window, nullptr);
    EXPECT_EQ(EngineContext::view.getSize(), sf::View().getSize());
}

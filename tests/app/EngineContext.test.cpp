#include "app/EngineContext.hpp"
#include "tests/support/VirtualDisplay.hpp"

#include <gtest/gtest.h>

namespace {

class EngineContextTest : public testing::Test {
protected:
    void SetUp() override {
        EngineContext::settings.clear();
        EngineContext::initialised = false;
        EngineContext::window = nullptr;
    }
};

} // namespace

TEST_F(EngineContextTest, SetViewInitialisesOnceAndASecondInitialiseForgetsEverything) {
    testing::internal::CaptureStdout();
    EngineContext::setView(sf::View(sf::FloatRect(0.f, 0.f, 640.f, 400.f)));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "view size: 640 x 400\n");
    EXPECT_TRUE(EngineContext::settings.size() == 1 && EngineContext::settings.count(""))
        << "one unnamed entry";
    EXPECT_EQ(EngineContext::view.getCenter(), sf::Vector2f(320.f, 200.f));

    getSetting("window.width").number = 12.f;
    EngineContext::window = reinterpret_cast<sf::RenderWindow*>(&EngineContext::settings);
    EngineContext::initialise();
    EXPECT_TRUE(EngineContext::settings.size() == 1 && EngineContext::settings.count(""))
        << "one unnamed entry";
    EXPECT_EQ(EngineContext::window, nullptr);
    EXPECT_EQ(EngineContext::view.getSize(), sf::View().getSize());
}

TEST_F(EngineContextTest, ViewSetUpMapsLogicalSpaceOverAWindowOfAnotherSize) {
    VirtualDisplay::ensureProcessDisplay();
    sf::RenderWindow window(sf::VideoMode(320, 200), "view test", sf::Style::None);
    ASSERT_TRUE(window.isOpen());
    EngineContext::initialise();
    getSetting("window.width").text = "kept";
    testing::internal::CaptureStdout();
    setUpView(window);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "view size: 320 x 200\nview size: 640 x 400\n");
    EXPECT_FLOAT_EQ(mouseScale, 2.f);
    EXPECT_EQ(getSetting("window.width").type, 3);
    EXPECT_EQ(getSetting("window.width").text, "kept") << "insert-or-get must keep the existing record";
    EXPECT_EQ(getSetting("window.width").number, 640.f);
    EXPECT_EQ(getSetting("window.height").number, 400.f);
    EXPECT_EQ(window.getView().getCenter(), sf::Vector2f(320.f, 200.f));
    EXPECT_EQ(window.getView().getSize(), sf::Vector2f(640.f, 400.f));
    mouseScale = 1.f;
}

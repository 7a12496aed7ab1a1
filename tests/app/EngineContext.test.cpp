#include "app/EngineContext.hpp"
#include "tests/support/VirtualDisplay.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<std::string> names() {
    std::vector<std::string> result;
    for (const auto& entry : EngineContext::settings)
        result.push_back(entry.first);
    return result;
}

class EngineContextTest : public testing::Test {
protected:
    void SetUp() override {
        EngineContext::settings.clear();
        EngineContext::initialised = false;
        EngineContext::window = nullptr;
    }
};

} // namespace

TEST_F(EngineContextTest, SetViewBeforeInitialiseInitialisesThenStoresAndLogs) {
    testing::internal::CaptureStdout();
    EngineContext::setView(sf::View(sf::FloatRect(0.f, 0.f, 640.f, 400.f)));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "view size: 640 x 400\n");
    EXPECT_TRUE(EngineContext::initialised);
    EXPECT_EQ(names(), std::vector<std::string>{""});
    EXPECT_EQ(EngineContext::view.getCenter(), sf::Vector2f(320.f, 200.f));
}

TEST_F(EngineContextTest, SecondInitialiseEmptiesTheStoreAndForgetsWindowAndView) {
    EngineContext::initialise();
    getSetting("window.width").number = 12.f;
    sf::RenderWindow* const someWindow = reinterpret_cast<sf::RenderWindow*>(&EngineContext::settings);
    EngineContext::window = someWindow;
    EngineContext::view = sf::View(sf::FloatRect(5.f, 5.f, 10.f, 10.f));
    EngineContext::initialise();
    EXPECT_EQ(names(), std::vector<std::string>{""});
    EXPECT_EQ(EngineContext::window, nullptr);
    EXPECT_EQ(EngineContext::view.getSize(), sf::View().getSize());
}

TEST_F(EngineContextTest, StartUpWritesLeaveThreeEntriesInByteOrder) {
    EngineContext::initialise();
    SettingValue& width = insertOrGet(EngineContext::settings, std::string("window.width"));
    width.number = 640.f;
    width.type = 2;
    insertOrGet(EngineContext::settings, std::string("window.height")).type = 2;
    getSetting("window.width").type = 3;
    EXPECT_EQ(names(), (std::vector<std::string>{"", "window.height", "window.width"}));
    EXPECT_EQ(&getSetting("window.width"), &width) << "insert-or-get must return the existing record";
}

TEST_F(EngineContextTest, InsertOrGetGivesDefaultsOnceAndKeepsOtherFields) {
    SettingsStore store;
    SettingValue& fresh = insertOrGet(store, std::string("a.b"));
    EXPECT_EQ(fresh.type, 0);
    EXPECT_EQ(fresh.number, 0.f);
    EXPECT_EQ(fresh.index, -1);
    EXPECT_FALSE(fresh.flag);
    fresh.text = "kept";
    fresh.index = 7;
    SettingValue& again = insertOrGet(store, std::string("a.b"));
    again.number = 3.f;
    again.type = 2;
    EXPECT_EQ(&again, &fresh);
    EXPECT_EQ(again.text, "kept");
    EXPECT_EQ(again.index, 7);
    // Byte order: capitals before lower case, a prefix before the longer name.
    insertOrGet(store, std::string("a"));
    insertOrGet(store, std::string("Z"));
    std::vector<std::string> order;
    for (const auto& entry : store)
        order.push_back(entry.first);
    EXPECT_EQ(order, (std::vector<std::string>{"Z", "a", "a.b"}));
}

TEST_F(EngineContextTest, ViewSetUpMapsLogicalSpaceOverAWindowOfAnotherSize) {
    VirtualDisplay::ensureProcessDisplay();
    sf::RenderWindow window(sf::VideoMode(320, 200), "view test", sf::Style::None);
    ASSERT_TRUE(window.isOpen());
    testing::internal::CaptureStdout();
    setUpView(window);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "view size: 320 x 200\nview size: 640 x 400\n");
    EXPECT_FLOAT_EQ(mouseScale, 2.f);
    EXPECT_EQ(getSetting("window.width").type, 3);
    EXPECT_EQ(getSetting("window.width").number, 640.f);
    EXPECT_EQ(getSetting("window.height").number, 400.f);
    EXPECT_EQ(window.getView().getCenter(), sf::Vector2f(320.f, 200.f));
    EXPECT_EQ(window.getView().getSize(), sf::Vector2f(640.f, 400.f));
    mouseScale = 1.f;
}

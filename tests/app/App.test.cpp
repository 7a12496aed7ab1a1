#include "app/FrameText.hpp"
#include "app/HeaderEasing.hpp"
#include "app/PointerState.hpp"
#include "app/StartUp.hpp"

#include <gtest/gtest.h>

#include <iterator>
#include <tuple>
#include <vector>

TEST(StartUp, OnlyTheExactSwitchWithATokenAfterItSignsIn) {
    const char* const argv[] = {"brannoc", "-token", "tk-7", "extra", "-token"};
    for (const int argc : {1, 2, 3, 5}) // later arguments are ignored
        EXPECT_EQ(StartUp::tokenArgument(argc, argv),
                  argc < 3 ? std::nullopt : std::optional<std::string>("tk-7"));
    for (const char* other : {"-TOKEN", "--token", "-tokens", "-toke", "tk-7"}) {
        const char* const otherArgv[] = {"brannoc", other, "tk-7"};
        EXPECT_EQ(StartUp::tokenArgument(3, otherArgv), std::nullopt) << other;
    }
}

TEST(StartUp, TheSignInLineQuotesTheServicesNamesWithoutTheirControlCharacters) {
    EXPECT_EQ(StartUp::signInLine("varkel\x1b[2J", "Bren \x1b]0;owned\aAsh"),
              "Logged in as Varkel user varkel?[2J (Bren ?]0;owned?Ash)");
}

TEST(StartUp, ThePairOfWindowsIsCentredWithItsTopOnTheDesktop) {
    using Row = std::pair<sf::Vector2u, sf::Vector2i>;
    for (const auto& [desktop, place] : {Row{{1920, 1080}, {640, 140}}, Row{{1921, 1081}, {640, 140}},
                                         Row{{1024, 600}, {192, 0}}, Row{{599, 799}, {-20, 0}}})
        EXPECT_EQ(StartUp::mainWindowPlace(desktop), place) << desktop.x << " x " << desktop.y;
}

TEST(FrameText, MinutesBelowAnHourPaddedFromAnHourOnAndSecondsWrappingAfter65536) {
    const double seconds[] = {
        0, 59.999, 60, 3599, 3600, 3725.2, 36000, 65535.9, 65536, 65536 + 61.5, 2 * 65536.0 + 3725.2};
    const char* const shown[] = {"0:00",     "0:59",     "1:00", "59:59", "1:00:00", "1:02:05",
                                 "10:00:00", "18:12:15", "0:00", "1:01",  "1:02:05"};
    for (std::size_t i = 0; i < std::size(seconds); ++i)
        EXPECT_EQ(formatElapsed(displayedSeconds(seconds[i])), shown[i]) << seconds[i];
}

TEST(HeaderEasing, ChannelsMoveATwelfthOfTheWayAndSnapWithinAHundredth) {
    HeaderColour current{0.f, 96.f, 0.f};
    int frames = 0;
    for (; current.r != 140.f && frames < 1000; ++frames)
        easeHeaderColour(current, HeaderColour{140.f, 96.f, 12.f});
    EXPECT_EQ(frames, 110);
    EXPECT_TRUE(current.g == 96.f && current.b == 12.f) << current.g << " " << current.b;
}

TEST(PointerState, ALeftPressInTheScaledHeaderBandDragsUntilAnyRelease) {
    using Events = std::vector<std::pair<int, ButtonPhase>>;
    // One frame as the loop runs it, the window at (100, 100) at half scale: sample, age, events, drag.
    const auto frame = [](PointerState& state, sf::Vector2i desktop, const Events& events) {
        samplePointer(state, desktop, {100, 100}, 0.5f);
        ageButtonPhases(state);
        for (const auto& [button, phase] : events)
            state.buttons[button] = phase;
        return dragOffset(state);
    };
    using Row = std::tuple<sf::Vector2i, Events, sf::Vector2i>;
    PointerState state;
    for (const auto& [at, events, offset] :
         {Row{{300, 199}, {}, {0, 0}}, Row{{300, 199}, {{0, Pressed}}, {0, 0}}, Row{{310, 205}, {}, {10, 6}},
          Row{{312, 205}, {{2, Released}}, {2, 0}}, Row{{320, 210}, {}, {0, 0}}})
        EXPECT_EQ(frame(state, at, events), offset) << at.x;
    EXPECT_EQ(std::vector<int>(state.buttons, state.buttons + 3), (std::vector<int>{Held, Up, Up}));
    PointerState fresh; // a press released within its frame drags nothing
    EXPECT_EQ(frame(fresh, {300, 150}, {{0, Pressed}, {0, Released}}), sf::Vector2i(0, 0));
}

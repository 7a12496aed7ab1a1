#include "app/PointerState.hpp"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace {

using Events = std::vector<std::pair<int, ButtonPhase>>;

// One frame as the loop runs it, the window at (100, 100) at half scale: sample, age, events, drag.
sf::Vector2i frame(PointerState& state, sf::Vector2i desktop, const Events& events = {}) {
    samplePointer(state, desktop, {100, 100}, 0.5f);
    ageButtonPhases(state);
    for (const auto& [button, phase] : events)
        state.buttons[button] = phase;
    return dragOffset(state);
}

} // namespace

TEST(PointerState, ALeftPressInTheScaledHeaderBandDragsUntilAnyRelease) {
    const std::tuple<sf::Vector2i, Events, sf::Vector2i> frames[] = {{{300, 199}, {}, {0, 0}},
                                                                     {{300, 199}, {{0, Pressed}}, {0, 0}},
                                                                     {{310, 205}, {}, {10, 6}},
                                                                     {{312, 205}, {{2, Released}}, {2, 0}},
                                                                     {{320, 210}, {}, {0, 0}}};
    PointerState state;
    for (const auto& [at, events, offset] : frames)
        EXPECT_EQ(frame(state, at, events), offset) << at.x;
    EXPECT_EQ(std::vector<int>(state.buttons, state.buttons + 3), (std::vector<int>{Held, Up, Up}));

    // Left just below the band, right and middle in it, a left press released within its frame.
    const std::pair<int, Events> still[] = {
        {200, {{0, Pressed}}}, {150, {{1, Pressed}, {2, Pressed}}}, {150, {{0, Pressed}, {0, Released}}}};
    for (const auto& [y, events] : still) {
        PointerState fresh;
        EXPECT_EQ(frame(fresh, {300, y}, events), sf::Vector2i(0, 0)) << y;
        EXPECT_EQ(frame(fresh, {340, y + 20}), sf::Vector2i(0, 0)) << y;
    }
}

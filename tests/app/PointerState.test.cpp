#include "app/PointerState.hpp"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using Events = std::vector<std::pair<int, ButtonPhase>>;

// One frame as the loop runs it: sample, age, apply this frame's button events, drag.
sf::Vector2i frame(PointerState& state, sf::Vector2i desktop, const Events& events = {}) {
    samplePointer(state, desktop, {100, 100}, 1.f);
    ageButtonPhases(state);
    for (const auto& [button, phase] : events)
        state.buttons[button] = phase;
    return dragOffset(state);
}

} // namespace

TEST(PointerState, LocalPositionIsScaledAndTruncatedTowardZero) {
    PointerState state;
    samplePointer(state, {110, 50}, {10, 40}, 0.5f);
    EXPECT_EQ(state.delta, sf::Vector2i(110, 50));
    EXPECT_EQ(state.localPos, sf::Vector2i(50, 5));
    samplePointer(state, {9, 38}, {10, 40}, 0.5f);
    EXPECT_EQ(state.delta, sf::Vector2i(-101, -12));
    EXPECT_EQ(state.localPos, sf::Vector2i(0, -1)); // -0.5 and -1.0 truncate toward zero
}

TEST(PointerState, LeftPressInHeaderBandDragsUntilAnyRelease) {
    PointerState state;
    frame(state, {300, 149});
    EXPECT_EQ(frame(state, {300, 149}, {{0, Pressed}}), sf::Vector2i(0, 0));
    EXPECT_EQ(state.grab, 0);
    EXPECT_EQ(frame(state, {310, 155}), sf::Vector2i(10, 6));
    EXPECT_EQ(state.buttons[0], Held);
    // A middle release ends the drag on the following frame's ageing.
    frame(state, {312, 155}, {{2, Released}});
    EXPECT_EQ(frame(state, {320, 160}), sf::Vector2i(0, 0));
    EXPECT_EQ(state.grab, -1);
    EXPECT_EQ(state.buttons[2], Up);
}

TEST(PointerState, PressesThatMustNotDrag) {
    // Left just below the header band, right and middle in it, and a left press released within
    // its frame (its phase is already Released).
    const std::pair<int, Events> rows[] = {
        {150, {{0, Pressed}}}, {110, {{1, Pressed}, {2, Pressed}}}, {110, {{0, Pressed}, {0, Released}}}};
    for (const auto& [y, events] : rows) {
        PointerState state;
        frame(state, {300, y}, events);
        EXPECT_EQ(state.grab, -1) << y;
        EXPECT_EQ(frame(state, {340, y + 20}), sf::Vector2i(0, 0)) << y;
    }
}

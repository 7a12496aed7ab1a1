#include "app/PointerState.hpp"

#include <gtest/gtest.h>

namespace {

// One frame as the loop runs it: sample, age, apply this frame's button events, drag.
sf::Vector2i frame(PointerState& state, sf::Vector2i desktop, sf::Vector2i windowPos,
                   std::initializer_list<std::pair<int, ButtonPhase>> events = {}) {
    samplePointer(state, desktop, windowPos, 1.f);
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
    const sf::Vector2i window(100, 100);
    frame(state, {300, 149}, window);
    EXPECT_EQ(frame(state, {300, 149}, window, {{0, Pressed}}), sf::Vector2i(0, 0));
    EXPECT_EQ(state.grab, 0);
    EXPECT_EQ(frame(state, {310, 155}, window), sf::Vector2i(10, 6));
    EXPECT_EQ(state.buttons[0], Held);
    // A middle release ends the drag on the following frame's ageing.
    frame(state, {312, 155}, window, {{2, Released}});
    EXPECT_EQ(frame(state, {320, 160}, window), sf::Vector2i(0, 0));
    EXPECT_EQ(state.grab, -1);
}

TEST(PointerState, PressesThatMustNotDrag) {
    const sf::Vector2i window(100, 100);
    {
        PointerState state; // at y 50, just below the header band
        frame(state, {300, 150}, window, {{0, Pressed}});
        EXPECT_EQ(state.grab, -1);
        EXPECT_EQ(frame(state, {340, 170}, window), sf::Vector2i(0, 0));
    }
    {
        PointerState state; // right and middle never grab
        frame(state, {300, 110}, window, {{1, Pressed}, {2, Pressed}});
        EXPECT_EQ(frame(state, {340, 120}, window), sf::Vector2i(0, 0));
    }
    {
        PointerState state; // press and release within one frame: the phase is already Released
        frame(state, {300, 110}, window, {{0, Pressed}, {0, Released}});
        EXPECT_EQ(state.grab, -1);
        EXPECT_EQ(frame(state, {340, 120}, window), sf::Vector2i(0, 0));
        EXPECT_EQ(state.buttons[0], Up);
    }
}

#pragma once

#include <SFML/System/Vector2.hpp>

#include <cstdint>

enum ButtonPhase : std::int32_t { Up = 0, Pressed = 1, Held = 2, Released = 3 };

// The mouse as the frame loop sees it; one process-wide instance.
struct PointerState {
    sf::Vector2i screenPos;
    sf::Vector2i delta;
    sf::Vector2i localPos;
    std::int32_t buttons[3] = {Up, Up, Up}; // Left, Right, Middle
    std::int32_t grab = -1;                 // -1 nothing grabbed, 0 the main window
};

extern PointerState pointer;

// Takes a new desktop position: delta, screenPos, and localPos relative to the window's position,
// scaled and truncated toward zero.
void samplePointer(PointerState& state, sf::Vector2i desktop, sf::Vector2i windowPos, float scale);

// Pressed becomes Held; Released becomes Up and ends any drag.
void ageButtonPhases(PointerState& state);

// A Left press in the 50-unit header band grabs the window. Returns the offset to move the window
// by this frame: delta while grabbed, else (0, 0).
sf::Vector2i dragOffset(PointerState& state);

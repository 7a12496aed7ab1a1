#include "app/PointerState.hpp"

PointerState pointer;

void samplePointer(PointerState& state, sf::Vector2i desktop, sf::Vector2i windowPos, float scale) {
    state.delta = desktop - state.screenPos;
    state.screenPos = desktop;
    state.localPos = sf::Vector2i(static_cast<int>(static_cast<float>(desktop.x - windowPos.x) * scale),
                                  static_cast<int>(static_cast<float>(desktop.y - windowPos.y) * scale));
}

void ageButtonPhases(PointerState& state) {
    for (std::int32_t& phase : state.buttons) {
        if (phase == Pressed) {
            phase = Held;
        } else if (phase == Released) {
            phase = Up;
            state.grab = -1;
        }
    }
}

sf::Vector2i dragOffset(PointerState& state) {
    if (state.buttons[0] == Pressed && state.localPos.y < 50)
        state.grab = 0;
    if (state.delta != sf::Vector2i(0, 0) && state.grab == 0)
        return state.delta;
    return sf::Vector2i(0, 0);
}

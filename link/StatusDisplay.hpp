#pragma once

#include <SFML/Graphics/CircleShape.hpp>
#include <SFML/Graphics/Color.hpp>

#include <string>

struct HeaderColour {
    float r = 0.f;
    float g = 0.f;
    float b = 0.f;
};

// The header's connection display. statusText and headerTargetColour are guarded by
// RealtimeLink::stateMutex; statusAvatar is touched on the main thread only.
extern std::string statusText;
extern HeaderColour headerTargetColour;
extern sf::CircleShape statusAvatar;

// The header target for a colour: each channel times 0.8, so the bar sits a little darker.
HeaderColour dimmedHeaderColour(sf::Color colour);

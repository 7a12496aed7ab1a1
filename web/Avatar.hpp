#pragma once

#include <SFML/Graphics/Texture.hpp>

#include <cstdint>

// Downloads "/img/avatars/<userId>" ("default.jpg" for 4294967295) and falls back to the
// default image; an empty texture when neither decodes. Blocks with no time limit.
sf::Texture fetchAvatar(std::uint32_t userId);

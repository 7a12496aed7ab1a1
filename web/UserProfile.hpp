#pragma once

#include <SFML/Graphics/Texture.hpp>

#include <cstdint>
#include <string>
#include <vector>

// The current user's record. Guest values until a login by token fills it.
struct UserProfile {
    std::string token;
    std::int32_t id = -1;
    std::int32_t rank = 0;
    std::vector<std::string> groups;
    sf::Texture avatar;
    std::string userName = "Guest";
    std::string displayName = "Guest";
    std::string realName = "Guest";
    std::int32_t sex = 0;
};

// Written on the main thread only: by the login before any thread starts, then only its avatar.
extern UserProfile currentUser;

#pragma once

#include <SFML/Graphics/Color.hpp>

#include <cstdint>
#include <string>

// Reads a rank colour reply: an optional "#", then 3 or 6 hexadecimal digits; empty means "A00".
// A channel with no leading hexadecimal digit is 0. Always returns an opaque colour.
sf::Color parseRankColour(const std::string& reply);

// Asks the "rankdata" endpoint for the colour of a rank; "A00" when the service is unreachable.
sf::Color fetchRankColour(std::uint32_t rank, std::string name);

// Feeds arbitrary bytes to the rank colour reader: always an opaque colour, never a crash.
#include "web/RankColour.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const sf::Color colour = parseRankColour(text);
    if (colour.a != 255)
        std::abort();
    // One digit per channel is doubled, so every channel of a short reply is a multiple of 0x11.
    const std::size_t digits = text.size() - (!text.empty() && text[0] == '#' ? 1 : 0);
    if (digits >= 1 && digits <= 3 && (colour.r % 17 != 0 || colour.g % 17 != 0 || colour.b % 17 != 0))
        std::abort();
    return 0;
}

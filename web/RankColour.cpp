#include "web/RankColour.hpp"

#include "web/WebApi.hpp"

#include <utility>

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The leading hexadecimal digits of a piece of at most two characters; 0 when there are none.
sf::Uint8 readChannel(const std::string& piece) {
    int value = 0;
    for (const char c : piece) {
        const int digit = hexValue(c);
        if (digit < 0)
            break;
        value = value * 16 + digit;
    }
    return static_cast<sf::Uint8>(value);
}

} // namespace

sf::Color parseRankColour(const std::string& reply) {
    std::string text = reply;
    if (!text.empty() && text[0] == '#')
        text.erase(0, 1);
    if (text.empty())
        text = "A00";
    const std::size_t width = text.size() <= 3 ? 1 : 2;
    sf::Uint8 channels[3] = {0, 0, 0};
    for (std::size_t k = 0; k < 3; ++k) {
        const std::size_t start = k * width;
        std::string piece = start < text.size() ? text.substr(start, width) : std::string();
        if (width == 1)
            piece += piece;
        channels[k] = readChannel(piece);
    }
    return sf::Color(channels[0], channels[1], channels[2], 255);
}

sf::Color fetchRankColour(std::uint32_t rank, std::string name) {
    WebApi api("rankdata");
    api.setParams({{"rank", std::to_string(rank)}, {"name", std::move(name)}, {"index", "3"}});
    // An unreachable service answers with an empty body, which reads as "A00".
    return parseRankColour(api.send(""));
}

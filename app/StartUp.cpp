#include "app/StartUp.hpp"

#include "media/ConsoleLog.hpp"
#include "text/SafeText.hpp"

#include <algorithm>
#include <cstring>

namespace StartUp {

std::optional<std::string> tokenArgument(int argc, const char* const* argv) {
    if (argc >= 3 && std::strcmp(argv[1], "-token") == 0)
        return std::string(argv[2]);
    return std::nullopt;
}

sf::Vector2i mainWindowPlace(sf::Vector2u desktop) {
    const int x = (static_cast<int>(desktop.x) - 640) / 2;
    const int y = (static_cast<int>(desktop.y) - 800) / 2;
    return sf::Vector2i(x, std::max(0, y));
}

std::string signInLine(const std::string& userName, const std::string& displayName) {
    return "Logged in as Varkel user " + SafeText::printable(userName) + " (" +
           SafeText::printable(displayName) + ")";
}

} // namespace StartUp

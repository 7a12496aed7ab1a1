#pragma once

#include <SFML/System/Vector2.hpp>

#include <optional>
#include <string>

// The decisions the entry makes before it opens anything, kept apart from the windows they steer.
namespace StartUp {

// The token when the first argument is exactly "-token" and a second one follows; later arguments
// are ignored. No token means the guest.
std::optional<std::string> tokenArgument(int argc, const char* const* argv);

// The main window's top-left corner on a desktop of that size: the button window hangs 400 pixels
// below it, so the pair (640 x 800) is centred, its top never above the desktop's edge.
sf::Vector2i mainWindowPlace(sf::Vector2u desktop);

// The console line naming the signed-in user. The names come from the web service and are quoted
// as text, never as terminal commands.
std::string signInLine(const std::string& userName, const std::string& displayName);

} // namespace StartUp

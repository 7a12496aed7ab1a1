#include "link/StatusDisplay.hpp"

#include "link/Connection.hpp"
#include "link/RealtimeLink.hpp"
#include "web/Avatar.hpp"
#include "web/RankColour.hpp"
#include "web/UserProfile.hpp"

#include <mutex>

std::string statusText;
HeaderColour headerTargetColour{140.f, 140.f, 140.f};
sf::CircleShape statusAvatar(0.f, 30);

namespace {

// Downloads the avatar only while the record has none, then shows it whole in the circle.
void showAvatar() {
    const sf::Vector2u size = currentUser.avatar.getSize();
    if (size.x == 0 || size.y == 0)
        currentUser.avatar = fetchAvatar(static_cast<std::uint32_t>(currentUser.id));
    statusAvatar.setTexture(&currentUser.avatar, true);
}

// The frame loop draws only after the refresh has returned, so the values are composed first and
// published together; the web requests never run under the state lock.
void publish(const std::string& text, HeaderColour colour) {
    std::lock_guard<std::mutex> lock(RealtimeLink::stateMutex);
    statusText = text;
    headerTargetColour = colour;
}

} // namespace

HeaderColour dimmedHeaderColour(sf::Color colour) {
    return HeaderColour{static_cast<float>(colour.r * 0.8), static_cast<float>(colour.g * 0.8),
                        static_cast<float>(colour.b * 0.8)};
}

void refreshStatusDisplay() {
    std::string text;
    if (RealtimeLink::connectPhase == RealtimeLink::Connecting) {
        text = "Connecting...";
    } else if (RealtimeLink::connected) {
        text = currentUser.displayName;
    } else {
        showAvatar();
        publish("Failed to connect!", HeaderColour{255.f, 0.f, 0.f});
        return;
    }
    showAvatar();

    sf::Color colour(0, 120, 255);
    if (currentUser.id != -1) {
        text = currentUser.displayName;
        showAvatar();
        colour = fetchRankColour(static_cast<std::uint32_t>(currentUser.rank), currentUser.userName);
    }
    publish(text, dimmedHeaderColour(colour));
}

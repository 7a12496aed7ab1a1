#include "web/Avatar.hpp"

#include "web/WebApi.hpp"

#include <SFML/Network/Http.hpp>
#include <SFML/System/Time.hpp>

#include <exception>
#include <string>

namespace {

const std::uint32_t guestId = 4294967295u;

std::string download(sf::Http& http, const std::string& uri) {
    try {
        return http.sendRequest(sf::Http::Request(uri, sf::Http::Request::Get, ""), sf::Time::Zero).getBody();
    } catch (const std::exception&) {
        return {};
    }
}

bool loadTexture(sf::Texture& texture, const std::string& bytes) {
    // An error page, an empty body or an image beyond the texture size limit all fail here.
    try {
        return texture.loadFromMemory(bytes.data(), bytes.size());
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace

sf::Texture fetchAvatar(std::uint32_t userId) {
    const std::string file = userId == guestId ? "default.jpg" : std::to_string(userId);
    sf::Http http(webBaseUrl, 0);
    sf::Texture texture;
    if (!loadTexture(texture, download(http, "/img/avatars/" + file)))
        loadTexture(texture, download(http, "/img/avatars/default.jpg"));
    return texture;
}

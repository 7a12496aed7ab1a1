#include "web/Avatar.hpp"
#include "tests/web/WebServiceTest.hpp"

#include <SFML/Graphics/Texture.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string defaultTarget = "/img/avatars/default.jpg";

using AvatarTest = WebServiceTest;

using Targets = std::vector<std::string>;

} // namespace

TEST_F(AvatarTest, FetchesTheUsersImageByIdWithoutExtension) {
    reply("/img/avatars/42", makePng(3, 2), 200, "image/png");
    reply(defaultTarget, makePng(5, 4), 200, "image/png");

    const sf::Texture texture = fetchAvatar(42);
    EXPECT_EQ(texture.getSize(), sf::Vector2u(3, 2));
    EXPECT_FALSE(texture.isSmooth());
    EXPECT_FALSE(texture.isRepeated());

    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, "/img/avatars/42");
    EXPECT_EQ(requests[0].body, "");
    // The library's own fields only; a GET carries no content type.
    EXPECT_EQ(clientFieldNames(requests[0]), (Targets{"content-length", "from", "host", "user-agent"}));
}

TEST_F(AvatarTest, GuestIdAsksForTheDefaultImage) {
    reply(defaultTarget, makePng(5, 4), 200, "image/png");
    EXPECT_EQ(fetchAvatar(4294967295u).getSize(), sf::Vector2u(5, 4));
    EXPECT_EQ(targets(), Targets{defaultTarget});
}

TEST_F(AvatarTest, ReplyThatDoesNotBecomeATextureFallsBackToTheDefault) {
    reply(defaultTarget, makePng(5, 4), 200, "image/png");
    // Wider than any GL implementation's texture limit (checked below, after a texture exists:
    // asking for the limit before that takes SFML's locks in an order TSan reports).
    const unsigned tooWide = 65536;
    const std::string png = makePng(3, 2);
    std::string junk(4 * 1024 * 1024, '\0');
    junk.replace(0, 8, png.substr(0, 8));
    const std::vector<std::pair<std::string, std::string>> replies = {
        {"unconfigured target: HTML 404 page", ""},
        {"empty body", ""},
        {"PNG signature then megabytes of NUL", junk},
        {"truncated PNG", png.substr(0, png.size() / 2)},
        {"image wider than the largest texture", makePng(tooWide, 1)},
    };
    std::size_t seen = 0;
    for (std::size_t i = 0; i < replies.size(); ++i) {
        const std::string target = "/img/avatars/" + std::to_string(100 + i);
        if (i > 0)
            reply(target, replies[i].second, 200, "image/png");
        EXPECT_EQ(fetchAvatar(static_cast<std::uint32_t>(100 + i)).getSize(), sf::Vector2u(5, 4))
            << replies[i].first;
        const Targets all = targets();
        EXPECT_EQ(Targets(all.begin() + static_cast<std::ptrdiff_t>(seen), all.end()),
                  (Targets{target, defaultTarget}))
            << replies[i].first;
        seen = all.size();
    }
    EXPECT_GT(tooWide, sf::Texture::getMaximumSize());
}

TEST_F(AvatarTest, NoDecodableImageGivesAnEmptyTexture) {
    EXPECT_EQ(fetchAvatar(42).getSize(), sf::Vector2u(0, 0));
    EXPECT_EQ(fetchAvatar(4294967295u).getSize(), sf::Vector2u(0, 0));
    EXPECT_EQ(targets(), (Targets{"/img/avatars/42", defaultTarget, defaultTarget, defaultTarget}));
}

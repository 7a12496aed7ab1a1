#include "media/AssetStore.hpp"
#include "media/ConsoleLog.hpp"
#include "tests/support/VirtualDisplay.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char* const spartan = "/usr/share/fonts/opentype/league-spartan/LeagueSpartan-Bold.otf";
const char* const liberation = "/usr/share/fonts/truetype/liberation2/LiberationSans-Regular.ttf";

void picture(const std::string& name, unsigned width, unsigned height, sf::Color colour) {
    const fs::path path = fs::path("assets/texture") / (name + ".png");
    fs::create_directories(path.parent_path());
    sf::Image image;
    image.create(width, height, colour);
    ASSERT_TRUE(image.saveToFile(path.string()));
}

void font(const std::string& file, const char* source) {
    fs::copy_file(source, fs::path("assets/font") / file, fs::copy_options::overwrite_existing);
}

sf::Color firstPixel(const sf::Texture& texture) {
    return texture.copyToImage().getPixel(0, 0);
}

// A throw-away asset tree that the process works in, since the store's root is relative.
class AssetTree : public testing::Environment {
public:
    void SetUp() override {
        VirtualDisplay::ensureProcessDisplay();
        char pattern[] = "/tmp/brannoc-asset-store-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        fs::create_directories(dir / "assets/font");
        fs::create_directories(dir / "assets/texture");
        previous = fs::current_path();
        fs::current_path(dir);
        picture("_na", 6, 6, sf::Color::Magenta);
    }
    void TearDown() override {
        // The textures must go while the private X server still runs: it stops at process exit,
        // before the store's own caches would be destroyed.
        AssetStore::textures.clear();
        fs::current_path(previous);
        fs::remove_all(dir);
    }
    static fs::path dir;
    fs::path previous;
};
fs::path AssetTree::dir;
[[maybe_unused]] testing::Environment* const tree = testing::AddGlobalTestEnvironment(new AssetTree);

} // namespace

TEST(AssetStore, FirstLookupInitialisesOnceWithTheBanner) {
    AssetStore::initialised = false;
    testing::internal::CaptureStdout();
    AssetStore::getTexture("never/there");
    AssetStore::getFont("nothing");
    AssetStore::getTexture("never/there");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(ConsoleLog::assetBanner) + "\n");
    EXPECT_TRUE(AssetStore::initialised);
    EXPECT_EQ(AssetStore::root + AssetStore::audioDir, "./assets/audio/");
}

TEST(AssetStore, FontsPreferOtfAndAreAttemptedOncePerName) {
    font("both.otf", spartan);
    font("both.ttf", liberation);
    font("plain.ttf", liberation);
    EXPECT_EQ(AssetStore::getFont("both").getInfo().family, "League Spartan");
    sf::Font& plain = AssetStore::getFont("plain");
    EXPECT_EQ(plain.getInfo().family, "Liberation Sans");
    EXPECT_EQ(&AssetStore::getFont("plain"), &plain);

    // A font missing on first request stays empty for the whole run, even once its file exists.
    sf::Font& late = AssetStore::getFont("late");
    EXPECT_EQ(late.getInfo().family, "");
    font("late.ttf", liberation);
    EXPECT_EQ(&AssetStore::getFont("late"), &late);
    EXPECT_EQ(late.getInfo().family, "");
}

TEST(AssetStore, MissingTextureIsTheFallbackUntilItsFileAppears) {
    sf::Texture& fallback = AssetStore::getTexture("n/a");
    EXPECT_EQ(fallback.getSize(), sf::Vector2u(6, 6));
    EXPECT_EQ(firstPixel(fallback), sf::Color::Magenta);
    EXPECT_FALSE(fallback.isSmooth());
    EXPECT_FALSE(fallback.isRepeated());

    EXPECT_EQ(&AssetStore::getTexture("ui/later"), &fallback);
    EXPECT_EQ(AssetStore::images.count("ui/later"), 0u);
    picture("ui/later", 5, 3, sf::Color::Cyan);
    sf::Texture& later = AssetStore::getTexture("ui/later");
    EXPECT_NE(&later, &fallback);
    EXPECT_EQ(later.getSize(), sf::Vector2u(5, 3));
    EXPECT_EQ(firstPixel(later), sf::Color::Cyan);
    EXPECT_TRUE(later.isSmooth());
    EXPECT_FALSE(later.isRepeated());
}

TEST(AssetStore, OnlyNamesStartingWithLowercaseEnvironmentRepeat) {
    picture("environment/grass", 4, 4, sf::Color::Green);
    picture("Environment/grass", 4, 4, sf::Color::Blue);
    picture("environment/", 4, 4, sf::Color::Yellow); // the bare prefix: environment/.png
    picture("environmen", 4, 4, sf::Color::Red);
    const sf::Texture& lower = AssetStore::getTexture("environment/grass");
    const sf::Texture& upper = AssetStore::getTexture("Environment/grass");
    const sf::Texture& bare = AssetStore::getTexture("environment/");
    const sf::Texture& shortName = AssetStore::getTexture("environmen");
    EXPECT_TRUE(lower.isRepeated());
    EXPECT_TRUE(bare.isRepeated());
    EXPECT_FALSE(upper.isRepeated());
    EXPECT_FALSE(shortName.isRepeated());
    EXPECT_EQ(firstPixel(lower), sf::Color::Green);
    EXPECT_EQ(firstPixel(upper), sf::Color::Blue);
    EXPECT_EQ(firstPixel(bare), sf::Color::Yellow);
    for (const sf::Texture* texture : {&lower, &upper, &bare, &shortName})
        EXPECT_TRUE(texture->isSmooth());
}

TEST(AssetStore, ReferencesSurviveManyLaterLookups) {
    picture("kept", 3, 2, sf::Color::White);
    font("kept.ttf", liberation);
    const sf::Texture& texture = AssetStore::getTexture("kept");
    const sf::Font& keptFont = AssetStore::getFont("kept");
    const unsigned handle = texture.getNativeHandle();
    for (int i = 0; i < 40; ++i)
        picture("bulk/" + std::to_string(i), 2, 2, sf::Color::Black);
    for (int i = 0; i < 80; ++i) {
        AssetStore::getTexture("bulk/" + std::to_string(i)); // the second half is missing
        AssetStore::getFont("bulk" + std::to_string(i));
    }
    EXPECT_EQ(&AssetStore::getTexture("kept"), &texture);
    EXPECT_EQ(texture.getNativeHandle(), handle);
    EXPECT_EQ(texture.getSize(), sf::Vector2u(3, 2));
    EXPECT_EQ(firstPixel(texture), sf::Color::White);
    EXPECT_EQ(&AssetStore::getFont("kept"), &keptFont);
    EXPECT_EQ(keptFont.getInfo().family, "Liberation Sans");
}

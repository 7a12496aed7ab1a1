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

void picture(const std::string& name, sf::Color colour) {
    const fs::path path = fs::path("assets/texture") / (name + ".png");
    fs::create_directories(path.parent_path());
    sf::Image image;
    image.create(4, 4, colour);
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
        fs::current_path(dir);
        picture("_na", sf::Color::Magenta);
    }
    void TearDown() override {
        // The textures must go while the private X server still runs: it stops at process exit,
        // before the store's own caches would be destroyed.
        AssetStore::textures.clear();
        fs::remove_all(dir);
    }
    fs::path dir;
};
[[maybe_unused]] testing::Environment* const tree = testing::AddGlobalTestEnvironment(new AssetTree);

} // namespace

TEST(AssetStore, FirstLookupInitialisesOnceWithTheBanner) {
    AssetStore::initialised = false;
    testing::internal::CaptureStdout();
    AssetStore::getTexture("never/there");
    AssetStore::getFont("nothing");
    AssetStore::getTexture("never/there");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(ConsoleLog::assetBanner) + "\n");
}

TEST(AssetStore, FontsPreferOtfAreAttemptedOncePerNameAndStayPut) {
    font("both.otf", spartan);
    font("both.ttf", liberation);
    font("kept.ttf", liberation);
    EXPECT_EQ(AssetStore::getFont("both").getInfo().family, "League Spartan");
    const sf::Font& kept = AssetStore::getFont("kept");
    // A font missing on first request stays empty for the whole run, even once its file exists.
    sf::Font& late = AssetStore::getFont("late");
    font("late.ttf", liberation);
    for (int i = 0; i < 80; ++i)
        AssetStore::getFont("bulk" + std::to_string(i));
    EXPECT_EQ(&AssetStore::getFont("late"), &late);
    EXPECT_EQ(late.getInfo().family, "");
    EXPECT_EQ(&AssetStore::getFont("kept"), &kept);
    EXPECT_EQ(kept.getInfo().family, "Liberation Sans");
}

TEST(AssetStore, MissingTextureIsTheUnsmoothedFallbackUntilItsFileAppears) {
    sf::Texture& fallback = AssetStore::getTexture("n/a");
    EXPECT_EQ(firstPixel(fallback), sf::Color::Magenta);
    EXPECT_FALSE(fallback.isSmooth());
    EXPECT_EQ(&AssetStore::getTexture("ui/later"), &fallback);
    picture("ui/later", sf::Color::Cyan);
    sf::Texture& later = AssetStore::getTexture("ui/later");
    EXPECT_EQ(firstPixel(later), sf::Color::Cyan);
    EXPECT_TRUE(later.isSmooth());

    // Neither the texture nor its GL handle moves, however many lookups (half of them missing) follow.
    const unsigned handle = later.getNativeHandle();
    for (int i = 0; i < 40; ++i)
        picture("bulk/" + std::to_string(i), sf::Color::Black);
    for (int i = 0; i < 80; ++i)
        AssetStore::getTexture("bulk/" + std::to_string(i));
    EXPECT_EQ(&AssetStore::getTexture("ui/later"), &later);
    EXPECT_EQ(later.getNativeHandle(), handle);
    EXPECT_EQ(firstPixel(later), sf::Color::Cyan);
}

TEST(AssetStore, OnlyNamesStartingWithLowercaseEnvironmentRepeat) {
    const struct {
        const char* name; // environment/ alone is the file environment/.png
        sf::Color colour;
        bool repeated;
    } rows[] = {{"environment/grass", sf::Color::Green, true},
                {"environment/", sf::Color::Yellow, true},
                {"Environment/grass", sf::Color::Blue, false},
                {"environmen", sf::Color::Red, false}};
    for (const auto& row : rows)
        picture(row.name, row.colour);
    for (const auto& row : rows) {
        const sf::Texture& texture = AssetStore::getTexture(row.name);
        EXPECT_EQ(firstPixel(texture), row.colour) << row.name;
        EXPECT_EQ(texture.isRepeated(), row.repeated) << row.name;
    }
}

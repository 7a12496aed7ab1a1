#include "media/AssetStore.hpp"
#include "media/ConsoleLog.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

void picture(const std::string& name, sf::Color colour) {
    fs::create_directories(fs::path("assets/texture/" + name).parent_path());
    sf::Image image;
    image.create(4, 4, colour);
    ASSERT_TRUE(image.saveToFile("assets/texture/" + name + ".png"));
}

} // namespace

// One test in a throw-away tree (the store's root is relative), since the caches last the process.
TEST(AssetStore, FindsFontsAndTexturesByNameAndFallsBack) {
    char dir[] = "/tmp/brannoc-asset-store-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    fs::current_path(dir);
    fs::create_directories("assets/font");
    picture("_na", sf::Color::Magenta);
    const auto pixel = [](const std::string& name) {
        return AssetStore::getTexture(name).copyToImage().getPixel(0, 0);
    };
    testing::internal::CaptureStdout();
    EXPECT_EQ(pixel("ui/later"), sf::Color::Magenta);
    AssetStore::getFont("nothing");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(ConsoleLog::assetBanner) + "\n");
    EXPECT_FALSE(AssetStore::getTexture("ui/later").isSmooth());
    picture("ui/later", sf::Color::Cyan);
    EXPECT_EQ(pixel("ui/later"), sf::Color::Cyan) << "a miss is not remembered";
    EXPECT_TRUE(AssetStore::getTexture("ui/later").isSmooth());
    const std::string spartan = "/usr/share/fonts/opentype/league-spartan/LeagueSpartan-Bold.otf",
                      sans = "/usr/share/fonts/truetype/liberation2/LiberationSans-Regular.ttf";
    for (const auto& [source, file] :
         {std::pair{spartan, "both.otf"}, {sans, "both.ttf"}, {sans, "sans.ttf"}, {sans, "nothing.ttf"}})
        fs::copy_file(source, "assets/font/" + std::string(file));
    EXPECT_EQ(AssetStore::getFont("both").getInfo().family, "League Spartan");
    EXPECT_EQ(AssetStore::getFont("sans").getInfo().family, "Liberation Sans");
    EXPECT_EQ(AssetStore::getFont("nothing").getInfo().family, "") << "a font missing once stays empty";
    AssetStore::textures.clear(); // while the display surely still runs
    fs::remove_all(dir);
}

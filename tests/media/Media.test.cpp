#include "media/AssetStore.hpp"
#include "media/ConsoleLog.hpp"
#include "media/SoundBank.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

// In a throw-away tree (the root is relative), in one test since the caches last the process.
TEST(AssetStore, FindsFontsAndTexturesByNameAndFallsBack) {
    char dir[] = "/tmp/brannoc-asset-store-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    fs::current_path(dir);
    fs::create_directories("assets/font");
    const auto picture = [](const std::string& name, sf::Color colour) {
        fs::create_directories(fs::path("assets/texture/" + name).parent_path());
        sf::Image image;
        image.create(4, 4, colour);
        ASSERT_TRUE(image.saveToFile("assets/texture/" + name + ".png"));
    };
    picture("_na", sf::Color::Magenta);
    EXPECT_EQ(AssetStore::getTexture("ui/later").copyToImage().getPixel(0, 0), sf::Color::Magenta);
    AssetStore::getFont("nothing");
    EXPECT_FALSE(AssetStore::getTexture("ui/later").isSmooth());
    picture("ui/later", sf::Color::Cyan);
    EXPECT_EQ(AssetStore::getTexture("ui/later").copyToImage().getPixel(0, 0), sf::Color::Cyan)
        << "not remembered";
    EXPECT_TRUE(AssetStore::getTexture("ui/later").isSmooth());
    const std::string otf = BRANNOC_BUILD_DIR "/assets/font/acens.otf",
                      ttf = BRANNOC_BUILD_DIR "/assets/font/arial.ttf";
    for (const auto& [source, file] : {std::pair{otf, "both.otf"}, {ttf, "both.ttf"}, {ttf, "nothing.ttf"}})
        fs::copy_file(source, "assets/font/" + std::string(file));
    EXPECT_EQ(AssetStore::getFont("both").getInfo().family, "League Spartan");
    EXPECT_EQ(AssetStore::getFont("nothing").getInfo().family, "") << "a font missing once stays empty";
    AssetStore::textures.clear(); // while the display surely still runs
    fs::remove_all(dir);
}

TEST(ConsoleLog, NeverMixesTheLinesOfTwoThreads) {
    testing::internal::CaptureStdout();
    const auto writer = [](const char* who) {
        for (int i = 0; i < 3000; ++i)
            ConsoleLog::line(who, " line ", "of ", "several ", "pieces");
    };
    std::thread packetSide(writer, "packet");
    writer("main");
    packetSide.join();
    std::istringstream captured(testing::internal::GetCapturedStdout());
    int lines = 0;
    for (std::string text; std::getline(captured, text); ++lines)
        ASSERT_TRUE(text == "packet line of several pieces" || text == "main line of several pieces") << text;
    EXPECT_EQ(lines, 6000);
}

TEST(SoundBank, AFileThatFailsToLoadIsNotTriedAgain) {
    setenv("ALSOFT_DRIVERS", "null", 1); // no sound card here
    const std::string missing = BRANNOC_BUILD_DIR "/assets/audio/sound/it's missing.wav";
    testing::internal::CaptureStdout();
    SoundBank::playSound(missing, 25.f);
    SoundBank::playSound(missing, 25.f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Failed to load sound: '" + missing + "'\nNo sound buffered!\n");
}

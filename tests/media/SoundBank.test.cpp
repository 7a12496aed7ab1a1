#include "media/SoundBank.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

TEST(SoundBank, LoadsOnceRestartsItsOneVoiceAndAMissingFileStaysSilent) {
    setenv("ALSOFT_DRIVERS", "null", 1); // no sound card: the null device plays, and advances, silently
    const auto dir = std::filesystem::temp_directory_path() / ("brannoc-sounds-" + std::to_string(getpid()));
    const std::string missing = (dir / "it's missing.wav").string(), bell = (dir / "bell.wav").string();
    std::filesystem::create_directories(dir);
    testing::internal::CaptureStdout();
    SoundBank::playSound(missing, 25.f);
    std::filesystem::copy_file(BRANNOC_BUILD_DIR "/assets/audio/sound/boxingbell2.wav", bell);
    std::filesystem::copy_file(bell, missing);
    SoundBank::playSound(missing, 25.f);
    SoundBank::playSound(bell, 25.f);
    sf::Sound& voice = SoundBank::sounds.at(bell).sound;
    std::filesystem::remove_all(dir); // a second read would fail loudly
    voice.setPlayingOffset(sf::seconds(1.2f));
    SoundBank::playSound(bell, 60.f);
    EXPECT_EQ(voice.getStatus(), sf::Sound::Playing);
    EXPECT_LT(voice.getPlayingOffset(), sf::seconds(1.f)) << "the voice did not restart";
    EXPECT_FLOAT_EQ(voice.getVolume(), 60.f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Failed to load sound: '" + missing + "'\nNo sound buffered!\n");
}

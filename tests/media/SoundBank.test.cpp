#include "media/SoundBank.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

namespace fs = std::filesystem;

TEST(SoundBank, LoadsOnceRestartsItsOneVoiceAndAMissingFileStaysSilent) {
    setenv("ALSOFT_DRIVERS", "null", 1); // no sound card: the null device plays, and advances, silently
    const fs::path dir = fs::temp_directory_path() / ("brannoc-sound-bank-" + std::to_string(getpid()));
    const std::string bell = BRANNOC_BUILD_DIR "/assets/audio/sound/boxingbell2.wav";
    const std::string missing = (dir / "it's missing.wav").string(), tone = (dir / "tone.wav").string();
    fs::create_directories(dir);
    testing::internal::CaptureStdout();
    SoundBank::playSound(missing, 25.f);
    SoundBank::playSound(missing, 25.f);
    fs::copy_file(bell, missing);
    SoundBank::playSound(missing, 25.f);
    fs::copy_file(bell, tone);
    SoundBank::playSound(tone, 25.f);
    sf::Sound& voice = SoundBank::sounds.at(tone).sound;
    EXPECT_EQ(voice.getStatus(), sf::Sound::Playing);
    fs::remove_all(dir); // a second read would fail loudly
    voice.setPlayingOffset(sf::seconds(1.2f));
    SoundBank::playSound(tone, 60.f);
    EXPECT_EQ(voice.getStatus(), sf::Sound::Playing);
    EXPECT_LT(voice.getPlayingOffset(), sf::seconds(1.f)) << "the voice did not restart";
    EXPECT_FLOAT_EQ(voice.getVolume(), 60.f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Failed to load sound: '" + missing + "'\nNo sound buffered!\nNo sound buffered!\n");
}

#include "media/SoundBank.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A sound file name in a place of its own. No sound card here: the null device lets sources play
// (and advance) without one; it must be chosen before the first audio object opens the device.
std::string soundPath(const std::string& name) {
    setenv("ALSOFT_DRIVERS", "null", 1);
    const fs::path dir = fs::temp_directory_path() / ("brannoc-sound-bank-" + std::to_string(getpid()));
    fs::create_directories(dir);
    return (dir / name).string();
}

// Two seconds of a quiet tone.
void writeTone(const std::string& path) {
    std::vector<sf::Int16> samples(2 * 44100);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<sf::Int16>(3000.0 * std::sin(static_cast<double>(i) * 0.06));
    sf::SoundBuffer buffer;
    ASSERT_TRUE(buffer.loadFromSamples(samples.data(), samples.size(), 1, 44100));
    ASSERT_TRUE(buffer.saveToFile(path));
}

} // namespace

TEST(SoundBank, MissingFileFailsOnceThenStaysSilentEvenWhenItAppears) {
    const std::string path = soundPath("it's missing.wav");
    testing::internal::CaptureStdout();
    SoundBank::playSound(path, 25.f);
    SoundBank::playSound(path, 25.f);
    writeTone(path);
    SoundBank::playSound(path, 25.f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Failed to load sound: '" + path + "'\nNo sound buffered!\nNo sound buffered!\n");
    fs::remove_all(fs::path(path).parent_path());
}

TEST(SoundBank, LoadsOnceAndRestartsItsOneVoiceAtTheNewVolume) {
    const std::string path = soundPath("tone.wav");
    writeTone(path);
    testing::internal::CaptureStdout();
    SoundBank::playSound(path, 25.f);
    sf::Sound& voice = SoundBank::sounds.at(path).sound;
    EXPECT_EQ(voice.getStatus(), sf::Sound::Playing);
    EXPECT_FLOAT_EQ(voice.getVolume(), 25.f);

    // With the file gone, a second read would fail loudly; the cached buffer plays instead.
    fs::remove_all(fs::path(path).parent_path());
    voice.setPlayingOffset(sf::seconds(1.5f));
    SoundBank::playSound(path, 60.f);
    EXPECT_EQ(voice.getStatus(), sf::Sound::Playing);
    EXPECT_LT(voice.getPlayingOffset(), sf::seconds(1.f)) << "the voice did not restart";
    EXPECT_FLOAT_EQ(voice.getVolume(), 60.f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

#include "media/SoundBank.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// No sound card here: the null device lets sources play (and advance) without one. Must be set
// before the first audio object opens the device.
class SilentDevice : public testing::Environment {
public:
    void SetUp() override {
        setenv("ALSOFT_DRIVERS", "null", 1);
        char pattern[] = "/tmp/brannoc-sound-bank-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }
    static fs::path dir;
};
fs::path SilentDevice::dir;
[[maybe_unused]] testing::Environment* const device = testing::AddGlobalTestEnvironment(new SilentDevice);

// Two seconds of a quiet tone.
void writeTone(const fs::path& path) {
    std::vector<sf::Int16> samples(2 * 44100);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<sf::Int16>(3000.0 * std::sin(static_cast<double>(i) * 0.06));
    sf::SoundBuffer buffer;
    ASSERT_TRUE(buffer.loadFromSamples(samples.data(), samples.size(), 1, 44100));
    ASSERT_TRUE(buffer.saveToFile(path.string()));
}

} // namespace

TEST(SoundBank, MissingFileFailsOnceThenStaysSilentEvenWhenItAppears) {
    const std::string path = (SilentDevice::dir / "it's missing.wav").string();
    testing::internal::CaptureStdout();
    SoundBank::playSound(path, 25.f);
    SoundBank::playSound(path, 25.f);
    writeTone(path);
    SoundBank::playSound(path, 25.f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Failed to load sound: '" + path + "'\nNo sound buffered!\nNo sound buffered!\n");
    ASSERT_EQ(SoundBank::sounds.count(path), 1u);
    EXPECT_FALSE(SoundBank::sounds.at(path).loaded);
    EXPECT_EQ(SoundBank::sounds.at(path).sound.getStatus(), sf::Sound::Stopped);
}

TEST(SoundBank, LoadsOnceAndRestartsItsOneVoiceAtTheNewVolume) {
    const std::string path = (SilentDevice::dir / "tone.wav").string();
    writeTone(path);
    testing::internal::CaptureStdout();
    SoundBank::playSound(path, 25.f);
    SoundEntry& entry = SoundBank::sounds.at(path);
    ASSERT_TRUE(entry.loaded);
    EXPECT_EQ(entry.file, path);
    EXPECT_EQ(entry.sound.getBuffer(), &entry.buffer);
    EXPECT_EQ(entry.sound.getStatus(), sf::Sound::Playing);
    EXPECT_FLOAT_EQ(entry.sound.getVolume(), 25.f);

    // With the file gone, a second read would fail loudly; the cached buffer plays instead.
    fs::remove(path);
    entry.sound.setPlayingOffset(sf::seconds(1.5f));
    const std::size_t entries = SoundBank::sounds.size();
    SoundBank::playSound(path, 60.f);
    EXPECT_EQ(SoundBank::sounds.size(), entries);
    EXPECT_EQ(entry.sound.getStatus(), sf::Sound::Playing);
    EXPECT_LT(entry.sound.getPlayingOffset(), sf::seconds(1.f)) << "the voice did not restart";
    EXPECT_FLOAT_EQ(entry.sound.getVolume(), 60.f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

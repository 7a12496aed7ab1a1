#include "media/SoundBank.hpp"
#include "tests/support/WavReader.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

// The bell as the packet thread rings it, recorded by OpenAL's wave-file device: what reaches the
// output must be the generated bell at a quarter of its level.
TEST(SoundBankCapture, BellPlaysAtAQuarterOfItsLevel) {
    const std::string bell = BRANNOC_BUILD_DIR "/assets/audio/sound/boxingbell2.wav";
    const WavData source = WavReader::read(bell);
    ASSERT_TRUE(source.ok) << bell;
    ASSERT_EQ(source.channels, 1u);

    char pattern[] = "/tmp/brannoc-capture-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    const fs::path output = dir / "out.wav";
    std::ofstream(dir / "alsoft.conf") << "[general]\ndrivers=wave\nchannels=mono\nsample-type=int16\n"
                                          "frequency=44100\ndither=false\n[wave]\nfile="
                                       << output.string() << "\n";
    setenv("ALSOFT_CONF", (dir / "alsoft.conf").c_str(), 1);
    unsetenv("ALSOFT_DRIVERS");

    testing::internal::CaptureStdout();
    SoundBank::playSound(bell, 25.f);
    ASSERT_EQ(SoundBank::sounds.count(bell), 1u);
    ASSERT_TRUE(SoundBank::sounds.at(bell).loaded);
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (SoundBank::sounds.at(bell).sound.getStatus() == sf::Sound::Playing &&
           std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // Releasing the last audio object closes the device, which finishes the file.
    SoundBank::sounds.clear();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    const WavData captured = WavReader::read(output.string());
    fs::remove_all(dir);
    ASSERT_TRUE(captured.ok);
    ASSERT_EQ(captured.channels, 1u);
    ASSERT_EQ(captured.sampleRate, 44100u);

    const int sourcePeak = source.peak();
    EXPECT_NEAR(captured.peak(), sourcePeak / 4.0, 2.0);

    const PlaybackMatch match = matchPlayback(source, captured, 0.25);
    ASSERT_TRUE(match.found) << "no bell, or the bell cut short";
    EXPECT_GT(match.correlation, 0.99);
    EXPECT_NEAR(match.energyRatio, 1.0, 0.02);
    EXPECT_LE(match.peakAfter, 2) << "sound after the bell";
}

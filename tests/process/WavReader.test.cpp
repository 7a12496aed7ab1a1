#include "tests/support/WavReader.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

std::string le16(std::uint32_t v) {
    return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
}
std::string le32(std::uint32_t v) {
    return le16(v & 0xFFFF) + le16(v >> 16);
}

std::string chunk(const std::string& id, const std::string& body, std::uint32_t declared) {
    return id + le32(declared) + body;
}

// The header OpenAL Soft's wave writer produces: WAVE_FORMAT_EXTENSIBLE with the PCM sub-format.
std::string extensibleFormat(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits) {
    const std::uint16_t block = static_cast<std::uint16_t>(channels * bits / 8);
    std::string body =
        le16(0xFFFE) + le16(channels) + le32(rate) + le32(rate * block) + le16(block) + le16(bits);
    body += le16(22) + le16(bits) + le32(0x4); // cbSize, valid bits, mask
    body += le16(0x0001) + std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
    return chunk("fmt ", body, static_cast<std::uint32_t>(body.size()));
}

} // namespace

TEST(WavReader, ReadsAWriterThatWasKilledMidFile) {
    // Sizes still hold the placeholder, and the last sample is cut in half.
    std::string samples =
        le16(0) + le16(1000) + le16(static_cast<std::uint16_t>(-12000)) + le16(32767) + "\x05";
    const std::string file = "RIFF" + le32(0xFFFFFFFF) + "WAVE" + extensibleFormat(1, 44100, 16) +
                             chunk("data", samples, 0xFFFFFFFF);

    const WavData wav = WavReader::parse(file);
    ASSERT_TRUE(wav.ok) << wav.error;
    EXPECT_TRUE(wav.sizesUnfinished);
    EXPECT_EQ(wav.channels, 1);
    EXPECT_EQ(wav.sampleRate, 44100u);
    EXPECT_EQ(wav.bitsPerSample, 16);
    EXPECT_EQ(wav.samples, (std::vector<std::int32_t>{0, 1000, -12000, 32767}));
    EXPECT_EQ(wav.peak(), 32767);

    // A declared data size beyond the end of the file yields what is there.
    const std::string truncated = "RIFF" + le32(1000) + "WAVE" + extensibleFormat(1, 44100, 16) +
                                  chunk("data", le16(7) + le16(9), 1000);
    const WavData cut = WavReader::parse(truncated);
    ASSERT_TRUE(cut.ok) << cut.error;
    EXPECT_EQ(cut.samples, (std::vector<std::int32_t>{7, 9}));
}

TEST(WavReader, WalksChunksOfAPlainPcmFile) {
    // Plain PCM header, an odd-sized chunk (padded to even) before the data, stereo 8-bit samples.
    const std::string format = le16(1) + le16(2) + le32(8000) + le32(16000) + le16(2) + le16(8);
    const std::string file = "RIFF" + le32(0) + "WAVE" + chunk("fmt ", format, 16) +
                             chunk("LIST", std::string("abc") + '\0', 3) +
                             chunk("data", std::string("\x80\x00\xFF\x81", 4), 4);
    const WavData wav = WavReader::parse(file);
    ASSERT_TRUE(wav.ok) << wav.error;
    EXPECT_FALSE(wav.sizesUnfinished);
    EXPECT_EQ(wav.frames(), 2u);
    EXPECT_EQ(wav.samples, (std::vector<std::int32_t>{0, -128, 127, 1}));
    EXPECT_EQ(wav.peak(), 128);

    EXPECT_FALSE(WavReader::parse("RIFX....WAVE").ok);
    EXPECT_FALSE(WavReader::parse("RIFF" + le32(4) + "WAVE" + chunk("data", le16(1), 2)).ok)
        << "data before fmt has no known layout";
    const std::string floatFormat = le16(3) + le16(1) + le32(8000) + le32(32000) + le16(4) + le16(32);
    EXPECT_FALSE(WavReader::parse("RIFF" + le32(0) + "WAVE" + chunk("fmt ", floatFormat, 16) +
                                  chunk("data", le32(0), 4))
                     .ok);
    EXPECT_FALSE(WavReader::read("/nonexistent/capture.wav").ok);
}

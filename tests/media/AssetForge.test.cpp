#include "tests/support/WavReader.hpp"

#include <SFML/Graphics/Image.hpp>

#include <gtest/gtest.h>

namespace {

const std::string assets = BRANNOC_BUILD_DIR "/assets/";

// What a smoothed 64 x 64 texture shows in pixel (x, y) of a 16 x 16 square, on black: each pixel
// centre falls between two texels in each direction, which linear filtering averages.
sf::Color drawnAt16(const sf::Image& image, unsigned x, unsigned y) {
    double r = 0, g = 0, b = 0;
    for (unsigned dy = 1; dy <= 2; ++dy) {
        for (unsigned dx = 1; dx <= 2; ++dx) {
            const sf::Color texel = image.getPixel(4 * x + dx, 4 * y + dy);
            r += texel.r * texel.a / 255.0 / 4;
            g += texel.g * texel.a / 255.0 / 4;
            b += texel.b * texel.a / 255.0 / 4;
        }
    }
    return sf::Color(static_cast<sf::Uint8>(r), static_cast<sf::Uint8>(g), static_cast<sf::Uint8>(b));
}

} // namespace

TEST(AssetForge, LampsAreEqualGlassDotsThatReadRedAndGreenWhenSmall) {
    sf::Image red, green;
    ASSERT_TRUE(red.loadFromFile(assets + "texture/ui/menu_button_glass_red.png"));
    ASSERT_TRUE(green.loadFromFile(assets + "texture/ui/menu_button_glass_green.png"));
    // Rows after the first keep the first lamp's texture rectangle, so the sizes must match.
    ASSERT_EQ(red.getSize(), sf::Vector2u(64, 64));
    ASSERT_EQ(green.getSize(), red.getSize());
    EXPECT_EQ(red.getPixel(0, 0).a, 0) << "outside the circle must be transparent";
    EXPECT_EQ(green.getPixel(63, 63).a, 0);
    EXPECT_EQ(red.getPixel(32, 32).a, 255);
    for (unsigned y = 6; y < 10; ++y) {
        for (unsigned x = 6; x < 10; ++x) {
            const sf::Color r = drawnAt16(red, x, y);
            const sf::Color g = drawnAt16(green, x, y);
            EXPECT_TRUE(r.r > 150 && r.g < 90 && r.b < 90) << x << "," << y;
            EXPECT_TRUE(g.g > 150 && g.r < 110 && g.b < 130) << x << "," << y;
        }
    }
}

TEST(AssetForge, BellIsAStruckDecayingChimeOfAboutOneAndAHalfSeconds) {
    const WavData bell = WavReader::read(assets + "audio/sound/boxingbell2.wav");
    ASSERT_TRUE(bell.ok);
    EXPECT_EQ(bell.sampleRate, 44100u);
    EXPECT_EQ(bell.bitsPerSample, 16u);
    EXPECT_NEAR(bell.samples.size() / (44100.0 * bell.channels), 1.5, 0.1);
    const int peak = bell.peak();
    EXPECT_NEAR(peak, 0.8 * 32767, 0.05 * 32767);

    auto energy = [&bell](double from, double to) {
        double sum = 0;
        for (auto i = static_cast<std::size_t>(from * 44100); i < static_cast<std::size_t>(to * 44100); ++i)
            sum += static_cast<double>(bell.samples[i]) * bell.samples[i];
        return sum;
    };
    EXPECT_GT(energy(0.0, 0.1), 2 * energy(0.5, 0.6)) << "no strike";
    EXPECT_GT(energy(0.5, 0.6), 0.0) << "the bell must still ring after half a second";
    EXPECT_LT(energy(1.4, 1.5), 0.05 * energy(0.0, 0.1)) << "no decay";
}

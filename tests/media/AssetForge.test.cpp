#include <SFML/Audio/SoundBuffer.hpp>
#include <SFML/Graphics/Image.hpp>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

const std::string assets = BRANNOC_BUILD_DIR "/assets/";

// What a smoothed 64 x 64 texture shows in pixel (x, y) of a 16 x 16 square, on black: each pixel
// centre falls between two texels in each direction, which linear filtering averages.
sf::Color drawnAt16(const sf::Image& image, unsigned x, unsigned y) {
    double r = 0, g = 0, b = 0;
    for (unsigned d = 0; d < 4; ++d) {
        const sf::Color texel = image.getPixel(4 * x + 1 + d % 2, 4 * y + 1 + d / 2);
        r += texel.r * texel.a / 255.0 / 4;
        g += texel.g * texel.a / 255.0 / 4;
        b += texel.b * texel.a / 255.0 / 4;
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
    EXPECT_EQ(red.getPixel(0, 0).a + green.getPixel(63, 63).a, 0) << "outside the dot must be transparent";
    for (unsigned i = 0; i < 16; ++i) { // the middle 4 x 4 pixels
        const sf::Color r = drawnAt16(red, 6 + i % 4, 6 + i / 4);
        const sf::Color g = drawnAt16(green, 6 + i % 4, 6 + i / 4);
        EXPECT_TRUE(r.r > 150 && r.g < 90 && r.b < 90) << i;
        EXPECT_TRUE(g.g > 150 && g.r < 110 && g.b < 130) << i;
    }
}

TEST(AssetForge, BellIsAStruckDecayingChime) {
    setenv("ALSOFT_DRIVERS", "null", 1); // a sound buffer needs a device, if only a silent one
    sf::SoundBuffer bell;
    ASSERT_TRUE(bell.loadFromFile(assets + "audio/sound/boxingbell2.wav"));
    const unsigned rate = bell.getSampleRate() * bell.getChannelCount();
    ASSERT_GE(bell.getSampleCount(), 1.5 * rate);
    auto energy = [&bell, rate](double from, double to) {
        double sum = 0;
        for (auto i = static_cast<std::size_t>(from * rate); i < static_cast<std::size_t>(to * rate); ++i)
            sum += static_cast<double>(bell.getSamples()[i]) * bell.getSamples()[i];
        return sum;
    };
    EXPECT_GT(energy(0.0, 0.1), 2 * energy(0.5, 0.6)) << "no strike";
    EXPECT_GT(energy(0.5, 0.6), 0.0) << "the bell must still ring after half a second";
    EXPECT_LT(energy(1.4, 1.5), 0.05 * energy(0.0, 0.1)) << "no decay";
}

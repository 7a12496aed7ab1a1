#include "tests/media/WavReader.hpp"
#include "tests/support/VirtualDisplay.hpp"

#include <SFML/Graphics.hpp>

#include <gtest/gtest.h>

namespace {

const std::string assets = BRANNOC_BUILD_DIR "/assets/";

// The lamp as the user list draws it: a smoothed texture stretched over 16 x 16 on black.
sf::Image drawLamp(const sf::Texture& texture) {
    sf::RenderTexture target;
    EXPECT_TRUE(target.create(32, 32));
    target.clear(sf::Color::Black);
    sf::RectangleShape lamp({16.f, 16.f});
    lamp.setTexture(&texture);
    lamp.setPosition(8.f, 8.f);
    target.draw(lamp);
    target.display();
    return target.getTexture().copyToImage();
}

} // namespace

TEST(AssetForge, LampsAreEqualGlassDotsThatReadRedAndGreenWhenSmall) {
    VirtualDisplay::ensureProcessDisplay();
    sf::Texture red, green;
    ASSERT_TRUE(red.loadFromFile(assets + "texture/ui/menu_button_glass_red.png"));
    ASSERT_TRUE(green.loadFromFile(assets + "texture/ui/menu_button_glass_green.png"));
    // Rows after the first keep the first lamp's texture rectangle, so the sizes must match.
    EXPECT_EQ(red.getSize(), green.getSize());
    const sf::Image redImage = red.copyToImage();
    EXPECT_EQ(redImage.getPixel(0, 0).a, 0) << "outside the circle must be transparent";
    EXPECT_EQ(redImage.getPixel(red.getSize().x / 2, red.getSize().y / 2).a, 255);

    red.setSmooth(true);
    green.setSmooth(true);
    const sf::Image smallRed = drawLamp(red);
    const sf::Image smallGreen = drawLamp(green);
    for (unsigned y = 14; y < 18; ++y) {
        for (unsigned x = 14; x < 18; ++x) {
            const sf::Color r = smallRed.getPixel(x, y);
            const sf::Color g = smallGreen.getPixel(x, y);
            EXPECT_TRUE(r.r > 150 && r.g < 90 && r.b < 90) << x << "," << y;
            EXPECT_TRUE(g.g > 150 && g.r < 110 && g.b < 130) << x << "," << y;
        }
    }
}

TEST(AssetForge, BellIsAStruckDecayingChimeOfAboutOneAndAHalfSeconds) {
    const WavData bell = readWav(assets + "audio/sound/boxingbell2.wav");
    ASSERT_TRUE(bell.ok);
    EXPECT_EQ(bell.sampleRate, 44100u);
    EXPECT_EQ(bell.bitsPerSample, 16u);
    EXPECT_NEAR(bell.samples.size() / (44100.0 * bell.channels), 1.5, 0.1);
    const int peak = peakOf(bell.samples);
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

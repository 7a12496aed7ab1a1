// Draws the client's pictures and synthesises its bell into an asset tree, so the repository holds
// no binary media. Needs no display and no sound device: images are saved through sf::Image and
// the bell is written as a plain PCM WAV file.
//
// Usage: AssetForge <assets directory>

#include <SFML/Graphics/Image.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr double pi = 3.14159265358979323846;

double clamp01(double x) {
    return std::min(1.0, std::max(0.0, x));
}

double smoothstep(double edge0, double edge1, double x) {
    const double t = clamp01((x - edge0) / (edge1 - edge0));
    return t * t * (3.0 - 2.0 * t);
}

sf::Uint8 channel(double x) {
    return static_cast<sf::Uint8>(std::lround(clamp01(x / 255.0) * 255.0));
}

struct Rgb {
    double r, g, b;
};

Rgb mix(const Rgb& a, const Rgb& b, double t) {
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

// Deterministic noise, so every build produces byte-identical files.
struct Lcg {
    std::uint32_t state;
    double next() {
        state = state * 1664525u + 1013904223u;
        return static_cast<double>(state >> 8) / static_cast<double>(1u << 24) * 2.0 - 1.0;
    }
};

bool save(const sf::Image& image, const std::filesystem::path& path) {
    if (image.saveToFile(path.string()))
        return true;
    std::fprintf(stderr, "AssetForge: cannot write %s\n", path.string().c_str());
    return false;
}

// Magenta and black checks: impossible to mistake for a real picture.
sf::Image fallbackChecker() {
    sf::Image image;
    image.create(64, 64, sf::Color::Black);
    for (unsigned y = 0; y < 64; ++y)
        for (unsigned x = 0; x < 64; ++x)
            if (((x / 8) + (y / 8)) % 2 == 0)
                image.setPixel(x, y, sf::Color(255, 0, 255));
    return image;
}

// A round glass lamp lit from inside: saturated body glowing towards the lower middle, darker
// rim, a soft reflection across the top and a small sharp glint. The centre stays the pure lamp
// colour so the lamp still reads clearly when scaled down to a few pixels.
sf::Image glassLamp(const Rgb& dark, const Rgb& bright) {
    constexpr unsigned size = 64;
    constexpr double radius = 30.0;
    sf::Image image;
    image.create(size, size, sf::Color::Transparent);
    for (unsigned py = 0; py < size; ++py) {
        for (unsigned px = 0; px < size; ++px) {
            const double u = (px + 0.5 - size / 2.0) / radius;
            const double v = (py + 0.5 - size / 2.0) / radius;
            const double r = std::sqrt(u * u + v * v);
            const double coverage = clamp01((1.0 - r) * radius + 0.5);
            if (coverage <= 0.0)
                continue;

            const double glow = 1.0 - clamp01(std::hypot(u, v - 0.15) / 1.1);
            Rgb colour = mix(dark, bright, glow);
            colour = mix(colour, Rgb{0, 0, 0}, 0.45 * smoothstep(0.78, 1.0, r));

            const double ex = u / 0.62;
            const double ey = (v + 0.52) / 0.36;
            const double reflection = 1.0 - (ex * ex + ey * ey);
            if (reflection > 0.0) {
                const double fadeDown = 1.0 - smoothstep(-0.8, -0.2, v);
                colour = mix(colour, Rgb{255, 255, 255}, 0.8 * smoothstep(0.0, 0.5, reflection) * fadeDown);
            }
            const double glint = 1.0 - std::hypot(u + 0.38, v + 0.42) / 0.11;
            if (glint > 0.0)
                colour = mix(colour, Rgb{255, 255, 255}, smoothstep(0.0, 0.6, glint));

            image.setPixel(px, py,
                           sf::Color(channel(colour.r), channel(colour.g), channel(colour.b),
                                     channel(255.0 * coverage)));
        }
    }
    return image;
}

// A square frame of brushed silver with a raised outer bevel and a sunken inner one; the inside
// is transparent.
sf::Image silverFrame() {
    constexpr int size = 128;
    constexpr int border = 14;
    constexpr int bevel = 3;
    sf::Image image;
    image.create(size, size, sf::Color::Transparent);
    Lcg noise{0x5117e4u};
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const int edge = std::min(std::min(x, y), std::min(size - 1 - x, size - 1 - y));
            if (edge >= border)
                continue;
            const double diagonal = static_cast<double>(x + y) / (2.0 * size);
            double grey = 175.0 + 45.0 * std::sin(diagonal * 2.0 * pi * 1.5) + 5.0 * noise.next();
            // Which side of the frame the pixel sits on decides the bevel's light or shadow.
            const bool upperLeftSide = (edge == x || edge == y);
            if (edge < bevel)
                grey += upperLeftSide ? 50.0 : -70.0;
            else if (edge >= border - bevel)
                grey += upperLeftSide ? -60.0 : 45.0;
            if (edge == 0 || edge == border - 1)
                grey *= 0.55;
            const double blueTint = 6.0;
            image.setPixel(static_cast<unsigned>(x), static_cast<unsigned>(y),
                           sf::Color(channel(grey), channel(grey + 2.0), channel(grey + blueTint)));
        }
    }
    return image;
}

// A struck ring bell: a few inharmonic partials of a bowl-shaped bell with exponential decays
// (high partials die first), each with a faint slightly detuned twin so it shimmers like real
// metal, plus a short noisy strike at the start. Normalised to 0.8 of full scale.
std::vector<std::int16_t> boxingBell(unsigned sampleRate, double seconds) {
    struct Partial {
        double ratio, amplitude, decay, twinDetune;
    };
    const double fundamental = 690.0;
    const Partial partials[] = {
        {1.00, 1.00, 0.80, 1.3},  {2.32, 0.62, 0.50, -2.1}, {4.25, 0.38, 0.30, 3.4},
        {6.63, 0.22, 0.18, -4.7}, {9.38, 0.12, 0.11, 6.2},  {0.50, 0.15, 0.90, 0.7},
    };
    const std::size_t count = static_cast<std::size_t>(sampleRate * seconds);
    std::vector<double> signal(count, 0.0);
    Lcg noise{0xbe11u};
    double strikeLow = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / sampleRate;
        double s = 0.0;
        for (const Partial& p : partials) {
            const double f = fundamental * p.ratio;
            const double envelope = p.amplitude * std::exp(-t / p.decay);
            s += envelope *
                 (std::sin(2.0 * pi * f * t) + 0.2 * std::sin(2.0 * pi * (f + p.twinDetune) * t + 0.7));
        }
        // The hammer's contact: band-limited noise dying within a few milliseconds.
        strikeLow += 0.35 * (noise.next() - strikeLow);
        s += 0.9 * strikeLow * std::exp(-t / 0.004);
        // A few milliseconds of attack avoid a click at the very first sample.
        s *= smoothstep(0.0, 0.002, t);
        // Fade the last 60 ms so the file ends in silence rather than mid-cycle.
        s *= 1.0 - smoothstep(seconds - 0.06, seconds, t);
        signal[i] = s;
    }
    double peak = 0.0;
    for (double s : signal)
        peak = std::max(peak, std::fabs(s));
    std::vector<std::int16_t> samples(count);
    const double scale = peak > 0.0 ? 0.8 * 32767.0 / peak : 0.0;
    for (std::size_t i = 0; i < count; ++i)
        samples[i] = static_cast<std::int16_t>(std::lround(signal[i] * scale));
    return samples;
}

void putLe(std::ofstream& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.put(static_cast<char>((value >> (8 * i)) & 0xffu));
}

bool writeWav(const std::filesystem::path& path, const std::vector<std::int16_t>& samples,
              unsigned sampleRate) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::uint32_t dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
    out.write("RIFF", 4);
    putLe(out, 36 + dataBytes, 4);
    out.write("WAVEfmt ", 8);
    putLe(out, 16, 4);
    putLe(out, 1, 2); // PCM
    putLe(out, 1, 2); // mono
    putLe(out, sampleRate, 4);
    putLe(out, sampleRate * 2, 4);
    putLe(out, 2, 2);
    putLe(out, 16, 2);
    out.write("data", 4);
    putLe(out, dataBytes, 4);
    for (std::int16_t s : samples)
        putLe(out, static_cast<std::uint16_t>(s), 2);
    out.close();
    if (out)
        return true;
    std::fprintf(stderr, "AssetForge: cannot write %s\n", path.string().c_str());
    return false;
}

// The web service's picture for users without one: a pale head and shoulders on a slate-blue
// disc over a light ground. Saved as JPEG, so there is no transparency: the disc's ground is opaque.
bool defaultAvatar(const std::filesystem::path& assets) {
    constexpr unsigned size = 128;
    const Rgb ground{232, 236, 240};
    const Rgb disc{91, 124, 153};
    const Rgb figure{226, 232, 238};
    sf::Image image;
    image.create(size, size);
    for (unsigned py = 0; py < size; ++py) {
        for (unsigned px = 0; px < size; ++px) {
            const double x = px + 0.5 - size / 2.0;
            const double y = py + 0.5 - size / 2.0;
            const double discCover = clamp01(60.0 - std::hypot(x, y) + 0.5);
            const double headCover = clamp01(22.0 - std::hypot(x, y + 14.0) + 0.5);
            // Shoulders: the upper half of a wide ellipse whose top meets the chin.
            const double ex = x / 42.0;
            const double ey = (y - 46.0) / 36.0;
            const double shoulderCover = clamp01((1.0 - std::sqrt(ex * ex + ey * ey)) * 36.0 + 0.5);
            const double figureCover = std::max(headCover, shoulderCover) * discCover;
            const Rgb colour = mix(mix(ground, disc, discCover), figure, figureCover);
            image.setPixel(px, py, sf::Color(channel(colour.r), channel(colour.g), channel(colour.b)));
        }
    }
    std::error_code error;
    std::filesystem::create_directories(assets / "web", error);
    return save(image, assets / "web" / "default.jpg");
}

// The desktop's icon: a slate disc in a silver ring holding a tally of four strokes crossed by a
// red fifth, so it reads as a count even at menu sizes.
sf::Image desktopIcon() {
    constexpr unsigned size = 64;
    const Rgb slate{38, 46, 58}, silver{200, 204, 212}, chalk{240, 240, 232}, red{220, 40, 32};
    sf::Image image;
    image.create(size, size, sf::Color::Transparent);
    // Distance from the point to the segment a-b, for strokes with soft edges.
    const auto segment = [](double x, double y, double ax, double ay, double bx, double by) {
        const double t = clamp01(((x - ax) * (bx - ax) + (y - ay) * (by - ay)) /
                                 ((bx - ax) * (bx - ax) + (by - ay) * (by - ay)));
        return std::hypot(x - ax - t * (bx - ax), y - ay - t * (by - ay));
    };
    for (unsigned py = 0; py < size; ++py) {
        for (unsigned px = 0; px < size; ++px) {
            const double x = px + 0.5, y = py + 0.5;
            const double r = std::hypot(x - 32.0, y - 32.0);
            const double cover = clamp01(31.0 - r + 0.5);
            if (cover <= 0.0)
                continue;
            Rgb colour = mix(slate, silver, clamp01(r - 26.0 + 0.5));
            double strokes = 0.0;
            for (int k = 0; k < 4; ++k)
                strokes = std::max(strokes,
                                   clamp01(2.6 - segment(x, y, 19.0 + 8.0 * k, 18.0, 19.0 + 8.0 * k, 46.0)));
            colour = mix(colour, chalk, strokes);
            colour = mix(colour, red, clamp01(2.8 - segment(x, y, 13.0, 42.0, 51.0, 22.0)));
            image.setPixel(
                px, py,
                sf::Color(channel(colour.r), channel(colour.g), channel(colour.b), channel(255.0 * cover)));
        }
    }
    return image;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: AssetForge <assets directory>\n");
        return 2;
    }
    const std::filesystem::path assets = argv[1];
    std::error_code error;
    std::filesystem::create_directories(assets / "texture" / "ui", error);
    std::filesystem::create_directories(assets / "audio" / "sound", error);

    bool ok = save(fallbackChecker(), assets / "texture" / "_na.png");
    ok = save(silverFrame(), assets / "texture" / "ui" / "frame_silver.png") && ok;
    ok =
        save(glassLamp({95, 0, 0}, {255, 55, 45}), assets / "texture" / "ui" / "menu_button_glass_red.png") &&
        ok;
    ok = save(glassLamp({0, 70, 12}, {70, 255, 95}),
              assets / "texture" / "ui" / "menu_button_glass_green.png") &&
         ok;
    ok = writeWav(assets / "audio" / "sound" / "boxingbell2.wav", boxingBell(44100, 1.5), 44100) && ok;
    ok = defaultAvatar(assets) && ok;
    std::filesystem::create_directories(assets / "icon", error);
    ok = save(desktopIcon(), assets / "icon" / "brannoc.png") && ok;
    return ok ? 0 : 1;
}

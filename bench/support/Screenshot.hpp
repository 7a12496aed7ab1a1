#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One RGB pixel as read back from the X server.
struct Rgb {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;

    bool operator==(const Rgb& other) const { return r == other.r && g == other.g && b == other.b; }
    bool operator!=(const Rgb& other) const { return !(*this == other); }
};

std::string toString(const Rgb& pixel);

// A captured rectangle of pixels, row by row from the top left. Empty when the capture failed.
struct Screenshot {
    int width = 0;
    int height = 0;
    std::vector<Rgb> pixels;

    bool empty() const { return pixels.empty(); }
    // Pixel at (x, y); black outside the image.
    Rgb at(int x, int y) const;
    // Writes a binary PPM (P6), for looking at a failure by eye. False when the write failed.
    bool savePpm(const std::string& path) const;
};

#include "bench/support/Screenshot.hpp"

#include <cstdio>

std::string toString(const Rgb& pixel) {
    return "(" + std::to_string(pixel.r) + ", " + std::to_string(pixel.g) + ", " + std::to_string(pixel.b) +
           ")";
}

Rgb Screenshot::at(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height)
        return {};
    return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                  static_cast<std::size_t>(x)];
}

bool Screenshot::savePpm(const std::string& path) const {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    std::fprintf(file, "P6\n%d %d\n255\n", width, height);
    bool ok = true;
    for (const Rgb& pixel : pixels) {
        const unsigned char bytes[3] = {pixel.r, pixel.g, pixel.b};
        ok = ok && std::fwrite(bytes, 1, 3, file) == 3;
    }
    return std::fclose(file) == 0 && ok;
}

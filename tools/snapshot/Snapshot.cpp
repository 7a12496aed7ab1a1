// Saves what an X display shows (the whole root window) as a PNG: brannoc-snapshot <file.png>.
// Used by scripts/run to show the client when there is no screen to look at.

#include <SFML/Graphics/Image.hpp>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <file.png>\n", argv[0]);
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "cannot open the X display\n");
        return 1;
    }
    const Window root = DefaultRootWindow(display);
    XWindowAttributes attributes;
    XGetWindowAttributes(display, root, &attributes);
    XImage* shot = XGetImage(display, root, 0, 0, static_cast<unsigned>(attributes.width),
                             static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
    if (shot == nullptr) {
        std::fprintf(stderr, "cannot read the screen\n");
        XCloseDisplay(display);
        return 1;
    }
    sf::Image image;
    image.create(static_cast<unsigned>(attributes.width), static_cast<unsigned>(attributes.height));
    for (int y = 0; y < attributes.height; ++y) {
        for (int x = 0; x < attributes.width; ++x) {
            const unsigned long pixel = XGetPixel(shot, x, y);
            image.setPixel(static_cast<unsigned>(x), static_cast<unsigned>(y),
                           sf::Color(static_cast<sf::Uint8>((pixel & shot->red_mask) >> 16),
                                     static_cast<sf::Uint8>((pixel & shot->green_mask) >> 8),
                                     static_cast<sf::Uint8>(pixel & shot->blue_mask)));
        }
    }
    XDestroyImage(shot);
    XCloseDisplay(display);
    return image.saveToFile(argv[1]) ? 0 : 1;
}

// Process-wide textures (the current user's avatar, the asset store's caches) open a GL context as
// they are built, before main, and without an X server the library aborts there. So the display is
// checked before every other static object of the program, and its absence ends the run with a
// plain message.

#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>

namespace {

struct DisplayCheck {
    DisplayCheck() {
        Display* display = XOpenDisplay(nullptr);
        if (display == nullptr) {
            std::fputs("brannoc needs a display: DISPLAY is unset or its X server cannot be reached\n",
                       stderr);
            // Nothing of ours is built yet, so there is nothing to tear down.
            std::_Exit(1);
        }
        XCloseDisplay(display);
    }
};

__attribute__((init_priority(101))) DisplayCheck displayCheck;

} // namespace

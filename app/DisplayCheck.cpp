// Process-wide textures (the current user's avatar, the asset store's caches) open a GL context as
// they are built, before main, and without an X server the library aborts there. So the display is
// checked before every other static object of the program, and its absence ends the run with a
// plain message.
//
// The check's connection stays open for the whole run: an X server that resets when its last
// client leaves (one started without -noreset, a kiosk's xinit) would otherwise reset between the
// check and the library's own connection, which then fails and aborts the process.

#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>

namespace {

struct DisplayCheck {
    Display* display = XOpenDisplay(nullptr);

    DisplayCheck() {
        if (display == nullptr) {
            std::fputs("brannoc needs a display: DISPLAY is unset or its X server cannot be reached\n",
                       stderr);
            // Nothing of ours is built yet, so there is nothing to tear down.
            std::_Exit(1);
        }
    }
    // Destroyed after every other static object, the library's windows and contexts included.
    ~DisplayCheck() { XCloseDisplay(display); }
};

__attribute__((init_priority(101))) DisplayCheck displayCheck;

} // namespace

// currentUser holds a texture, and in this SFML every texture, even an empty one, opens the
// shared GL context when it is constructed, which needs an X display. The earliest initialisation
// priority a program may use runs this before any other static object of the test binary, so a
// private Xvfb is up both for the tests and for the test listing done at build time.
#include "tests/support/VirtualDisplay.hpp"

namespace {

struct EarlyDisplay {
    EarlyDisplay() { VirtualDisplay::ensureProcessDisplay(); }
};

__attribute__((init_priority(101))) EarlyDisplay earlyDisplay;

} // namespace

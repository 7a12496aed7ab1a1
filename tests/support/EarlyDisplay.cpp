// In this SFML every texture, even an empty one, opens the shared GL context when it is built, and
// that needs an X display. Test binaries with process-wide textures (currentUser, the asset
// store) compile this file in: the earliest initialisation priority a program may use runs it
// before any other static object, so a private Xvfb is up both for the tests and for the test
// listing done at build time.
#include "tests/support/VirtualDisplay.hpp"

namespace {

struct EarlyDisplay {
    EarlyDisplay() { VirtualDisplay::ensureProcessDisplay(); }
};

__attribute__((init_priority(101))) EarlyDisplay earlyDisplay;

} // namespace

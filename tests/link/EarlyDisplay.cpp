// The link reads currentUser, whose texture opens the shared GL context as soon as it is built,
// and that needs an X display before any other static object of the binary exists.
#include "tests/support/VirtualDisplay.hpp"

namespace {

struct EarlyDisplay {
    EarlyDisplay() { VirtualDisplay::ensureProcessDisplay(); }
};

__attribute__((init_priority(101))) EarlyDisplay earlyDisplay;

} // namespace

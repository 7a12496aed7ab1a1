#include "app/PointerState.hpp"

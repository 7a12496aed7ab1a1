#include "app/FrameLoop.hpp"

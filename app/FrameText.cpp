#include "app/FrameText.hpp"

#pragma once

#include "link/StatusDisplay.hpp"

// One frame of easing toward the target: each channel moves a twelfth of the way and snaps onto
// the target once within 0.01.
void easeHeaderColour(HeaderColour& current, const HeaderColour& target);

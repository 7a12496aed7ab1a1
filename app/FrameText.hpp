#pragma once

#include <cstdint>
#include <string>

// "m:ss" below an hour, "h:mm:ss" from an hour on; hours unpadded and unlimited.
std::string formatElapsed(std::int32_t seconds);

// The seconds the frame shows for a stopwatch reading: truncated toward zero, then the low 16 bits.
std::int32_t displayedSeconds(double elapsedSeconds);

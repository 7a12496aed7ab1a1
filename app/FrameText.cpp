#include "app/FrameText.hpp"

namespace {

std::string padTwo(std::int32_t value) {
    std::string text = std::to_string(value);
    return text.size() < 2 ? "0" + text : text;
}

} // namespace

std::string formatElapsed(std::int32_t seconds) {
    const std::int32_t minutes = seconds / 60;
    const std::int32_t hours = minutes / 60;
    const std::int32_t mm = minutes - 60 * hours;
    const std::string ss = padTwo(seconds - 60 * minutes);
    if (hours == 0)
        return std::to_string(mm) + ":" + ss;
    return std::to_string(hours) + ":" + padTwo(mm) + ":" + ss;
}

std::int32_t displayedSeconds(double elapsedSeconds) {
    // The counter wraps after 65,536 s instead of growing without bound.
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::int32_t>(elapsedSeconds)) &
                                     0xFFFFu);
}

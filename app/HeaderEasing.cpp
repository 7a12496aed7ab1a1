#include "app/HeaderEasing.hpp"

#include <cmath>

namespace {

void easeChannel(float& current, float target) {
    if (current == target)
        return;
    current += (target - current) / 12.f;
    // Without the snap the channel would approach the target forever and never equal it.
    if (std::fabs(target - current) <= 0.01f)
        current = target;
}

} // namespace

void easeHeaderColour(HeaderColour& current, const HeaderColour& target) {
    easeChannel(current.r, target.r);
    easeChannel(current.g, target.g);
    easeChannel(current.b, target.b);
}

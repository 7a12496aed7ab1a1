#include "text/SafeText.hpp"

namespace SafeText {

namespace {

// The length of the control sequence at text[i] (1 for a C0 byte or DEL, 2 for a C1 in UTF-8), or 0.
std::size_t controlAt(std::string_view text, std::size_t i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F)
        return 1;
    if (byte == 0xC2 && i + 1 < text.size()) {
        const auto next = static_cast<unsigned char>(text[i + 1]);
        if (next >= 0x80 && next < 0xA0)
            return 2;
    }
    return 0;
}

} // namespace

std::string printable(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (const std::size_t n = controlAt(text, i)) {
            shown += '?';
            i += n - 1;
        } else {
            shown += text[i];
        }
    }
    return shown;
}

bool hasControl(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i)
        if (controlAt(text, i))
            return true;
    return false;
}

} // namespace SafeText

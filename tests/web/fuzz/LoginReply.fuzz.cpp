// Feeds arbitrary bytes to the login reply reader: no crash, no sanitizer report, and the splitter
// and integer reading keep the properties the login relies on.
#include "web/LoginReply.hpp"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

namespace {

// The standard conversion the integer reading must agree with.
std::optional<std::int32_t> referenceInteger(const std::string& text) {
    try {
        return std::stoi(text);
    } catch (const std::invalid_argument&) {
        return std::nullopt;
    } catch (const std::out_of_range&) {
        return std::nullopt;
    }
}

void checkSplitKeepsEveryByte(const std::string& text, const std::string& delimiter) {
    std::string joined;
    bool first = true;
    for (const std::string& piece : splitTopLevel(text, delimiter)) {
        if (!first)
            joined += delimiter;
        joined += piece;
        first = false;
    }
    // Only a delimiter cut at the very end is dropped.
    if (joined != text && joined + delimiter != text)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    const bool login = readLoginReply(text).has_value();
    if (login != (splitTopLevel(text, "\n").size() >= 2))
        std::abort();

    checkSplitKeepsEveryByte(text, "\n");
    checkSplitKeepsEveryByte(text, ",");
    checkSplitKeepsEveryByte(text, "\r\n");

    if (readLoginInteger(text) != referenceInteger(text))
        std::abort();
    return 0;
}

// Feeds arbitrary bytes to the login reply reader: no crash, no sanitizer report, and the splitter
// and integer reading keep the properties the login relies on.
#include "web/LoginReply.hpp"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

namespace {

// Joined again, the pieces give back every byte; only a delimiter cut at the very end is dropped.
void checkSplitKeepsEveryByte(const std::string& text, const std::string& delimiter) {
    std::string joined;
    bool first = true;
    for (const std::string& piece : splitTopLevel(text, delimiter)) {
        joined += (first ? std::string() : delimiter) + piece;
        first = false;
    }
    if (joined != text && joined + delimiter != text)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (readLoginReply(text).has_value() != (splitTopLevel(text, "\n").size() >= 2))
        std::abort();
    for (const char* delimiter : {"\n", ",", "\r\n"})
        checkSplitKeepsEveryByte(text, delimiter);

    // The integer reading agrees with the standard conversion.
    std::optional<std::int32_t> reference;
    try {
        reference = std::stoi(text);
    } catch (const std::logic_error&) { // invalid_argument, out_of_range
    }
    if (readLoginInteger(text) != reference)
        std::abort();
    return 0;
}

// Any login reply: no crash, and the splitter and the integer reading keep what the login relies on.
#include "web/LoginReply.hpp"

#include <cstdlib>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (readLoginReply(text).has_value() != (splitTopLevel(text, "\n").size() >= 2))
        std::abort();
    for (const std::string delimiter : {"\n", ","}) {
        std::string joined; // every byte comes back, but for a delimiter cut at the very end
        for (const std::string& piece : splitTopLevel(text, delimiter))
            joined += piece + delimiter;
        if (joined != text && joined != text + delimiter)
            std::abort();
    }
    std::optional<std::int32_t> reference;
    try {
        reference = std::stoi(text);
    } catch (const std::logic_error&) { // invalid_argument, out_of_range
    }
    if (readLoginInteger(text) != reference)
        std::abort();
    return 0;
}

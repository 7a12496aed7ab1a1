// Arbitrary bytes as a name a client gave: the overlay's JSON of it is well-formed UTF-8 without a
// raw control byte, so the page's parse never fails on a name.

#include "server/realtime/Overlay.hpp"

#include <clocale>
#include <cstdlib>
#include <cwchar>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool utf8 = std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
    const std::string json = overlay::quoted({reinterpret_cast<const char*>(data), size});
    std::mbstate_t state{};
    for (std::size_t at = 0; at < json.size();) {
        const auto n = std::mbrtowc(nullptr, json.data() + at, json.size() - at, &state);
        const auto c = static_cast<unsigned char>(json[at]);
        if (!utf8 || n == 0 || n > 4 || c < 0x20 || c == 0x7f)
            std::abort();
        at += n;
    }
    return 0;
}

// Arbitrary bytes as a request to the overlay's port, cut into reads as the first byte says, and as
// a name: the request is parsed within its limit and routed, and any name becomes a JSON string of
// well-formed UTF-8 without a raw control byte.

#include "server/realtime/Overlay.hpp"

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>

#include <clocale>
#include <cstdlib>
#include <cwchar>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace http = boost::beast::http;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    http::request_parser<http::empty_body> parser;
    parser.header_limit(8192);
    const std::size_t chunk = size > 0 ? 1 + data[0] % 64 : 1;
    boost::beast::error_code ec;
    for (std::size_t at = 0; at < size && !ec && !parser.is_header_done();) {
        const auto taken = parser.put(boost::asio::buffer(bytes.substr(at, chunk)), ec);
        if (taken == 0 && !ec)
            break; // wants more than one chunk at once
        at += taken;
    }
    if (!ec && parser.is_header_done()) {
        const auto method = parser.get().method_string(), target = parser.get().target();
        overlay::route({method.data(), method.size()}, {target.data(), target.size()});
    }

    static const bool utf8 = std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
    const std::string json = overlay::quoted(bytes);
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

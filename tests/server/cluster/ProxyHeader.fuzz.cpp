// The PROXY v2 header reader on arbitrary bytes: never reads past them, and a header it accepts
// lies within them.

#include "server/realtime/net/ProxyHeader.hpp"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const auto header = proxy::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    using Status = proxy::Header::Status;
    if ((header.status == Status::Proxied || header.status == Status::Local) && header.size > size)
        std::abort();
    return 0;
}

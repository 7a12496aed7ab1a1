#include "server/realtime/net/ProxyHeader.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace proxy {

namespace {

constexpr char signature[] = "\r\n\r\n\0\r\nQUIT\n";
constexpr std::size_t signatureSize = 12;
constexpr std::size_t fixedSize = 16; // signature, version and command, family, length

std::uint16_t u16(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint16_t>((static_cast<unsigned char>(bytes[at]) << 8) |
                                      static_cast<unsigned char>(bytes[at + 1]));
}

Header invalid(std::string why) {
    Header header;
    header.status = Header::Status::Invalid;
    header.error = std::move(why);
    return header;
}

} // namespace

Header parse(std::string_view bytes) {
    Header header;
    const std::size_t compared = std::min(bytes.size(), signatureSize);
    if (std::memcmp(bytes.data(), signature, compared) != 0) {
        header.status = Header::Status::Absent;
        return header;
    }
    if (bytes.size() < fixedSize)
        return header;
    const auto versionCommand = static_cast<unsigned char>(bytes[12]);
    const auto family = static_cast<unsigned char>(bytes[13]);
    const std::size_t length = u16(bytes, 14);
    if (versionCommand >> 4 != 2)
        return invalid("PROXY header of version " + std::to_string(versionCommand >> 4));
    const unsigned command = versionCommand & 0x0f;
    if (command > 1)
        return invalid("PROXY header with command " + std::to_string(command));
    if (bytes.size() < fixedSize + length)
        return header;
    header.size = fixedSize + length;
    const unsigned addressFamily = family >> 4;
    const unsigned transport = family & 0x0f;
    // A health check, or a connection the balancer cannot describe: the socket's address stands.
    if (command == 0 || addressFamily == 0) {
        header.status = Header::Status::Local;
        return header;
    }
    if (transport != 1)
        return invalid("PROXY header for a transport other than TCP");
    const std::string_view rest = bytes.substr(fixedSize, length);
    char text[INET6_ADDRSTRLEN] = {};
    if (addressFamily == 1) {
        if (rest.size() < 12)
            return invalid("PROXY header too short for IPv4 addresses");
        ::inet_ntop(AF_INET, rest.data(), text, sizeof text);
        header.port = u16(rest, 8);
    } else if (addressFamily == 2) {
        if (rest.size() < 36)
            return invalid("PROXY header too short for IPv6 addresses");
        ::inet_ntop(AF_INET6, rest.data(), text, sizeof text);
        header.port = u16(rest, 32);
    } else {
        return invalid("PROXY header for a family other than IPv4 or IPv6");
    }
    header.status = Header::Status::Proxied;
    header.address = text;
    return header;
}

} // namespace proxy

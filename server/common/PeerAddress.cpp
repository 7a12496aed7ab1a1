#include "server/common/PeerAddress.hpp"

namespace peer {

namespace ip = boost::asio::ip;

ip::address canonical(const ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return ip::make_address_v4(ip::v4_mapped, address.to_v6());
    return address;
}

std::string canonical(const std::string& address) {
    boost::system::error_code ec;
    const auto parsed = ip::make_address(address, ec);
    return ec ? address : canonical(parsed).to_string();
}

std::string countKey(const ip::address& address) {
    const auto plain = canonical(address);
    if (plain.is_v4())
        return plain.to_string();
    auto bytes = plain.to_v6().to_bytes();
    for (std::size_t i = 8; i < bytes.size(); ++i)
        bytes[i] = 0;
    return ip::address_v6(bytes).to_string() + "/64";
}

std::string countKey(const std::string& address) {
    boost::system::error_code ec;
    const auto parsed = ip::make_address(address, ec);
    return ec ? address : countKey(parsed);
}

std::string label(const std::string& address, std::uint16_t port) {
    const bool v6 = address.find(':') != std::string::npos;
    return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

} // namespace peer

#pragma once

#include <boost/asio/ip/address.hpp>

#include <cstdint>
#include <string>

// How both servers name and count a peer's address.
namespace peer {

// The address as the servers match and report it: an IPv4-mapped IPv6 address (what a socket bound
// to "::" sees for an IPv4 peer) becomes the plain IPv4 address; any other address is unchanged.
boost::asio::ip::address canonical(const boost::asio::ip::address& address);
// The same for an address in text; text that is not an address comes back as it is.
std::string canonical(const std::string& address);

// The key that --max-per-address counts under: an IPv4 address itself, an IPv6 address its /64
// ("2001:db8:1:2::/64"), since one machine holds a whole /64.
std::string countKey(const boost::asio::ip::address& address);
std::string countKey(const std::string& address);

// "a.b.c.d:port", or "[v6]:port", for the log.
std::string label(const std::string& address, std::uint16_t port);

} // namespace peer

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The binary header (version 2) a TCP load balancer puts before a client's bytes to say whose
// connection it passes on. Read only from the balancer's own addresses.
namespace proxy {

struct Header {
    enum class Status {
        NeedMore, // the bytes so far are the start of a header
        Absent,   // the bytes do not start with the header's signature
        Invalid,  // a header, but not one that can be read; error says why
        Local,    // the balancer's own connection (a health check): keep the socket's address
        Proxied,  // a client's connection: address and port are the client's
    } status = Status::NeedMore;
    std::size_t size = 0; // bytes of the header, for Local and Proxied
    std::string address;
    std::uint16_t port = 0;
    std::string error;
};

// Reads the header at the start of bytes.
Header parse(std::string_view bytes);

} // namespace proxy

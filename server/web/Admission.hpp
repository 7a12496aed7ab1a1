#pragma once

#include <cstddef>

// What becomes of a new connection to brannoc-web, decided from counts alone.
enum class Admission {
    Admit,
    RefuseFromAddress, // its address (IPv4 itself, IPv6 per /64) already holds maxPerAddress
    EvictWaiting,      // at maxConnections: the oldest connection still waiting for a request goes
    RefuseFull,        // at maxConnections, and every connection is being answered
};

// open: connections in all; fromAddress: those from the new one's address; anyWaiting: whether any
// open connection has not yet sent a whole request. A slow client must not shut out a sign-in, so
// at the total cap a waiting connection makes room rather than the new one being refused.
constexpr Admission admit(std::size_t open, std::size_t fromAddress, bool anyWaiting,
                          std::size_t maxConnections, std::size_t maxPerAddress) {
    if (fromAddress >= maxPerAddress)
        return Admission::RefuseFromAddress;
    if (open < maxConnections)
        return Admission::Admit;
    return anyWaiting ? Admission::EvictWaiting : Admission::RefuseFull;
}

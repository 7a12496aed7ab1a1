#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>

namespace peer {

// Opens the acceptor for the endpoint, reusing the address (a restart need not wait out the old
// connections), binds and listens with the system's largest backlog; the first error, or none.
inline boost::system::error_code listenOn(boost::asio::ip::tcp::acceptor& acceptor,
                                          const boost::asio::ip::tcp::endpoint& endpoint) {
    boost::system::error_code ec;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        acceptor.set_option(boost::asio::ip::tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(endpoint, ec);
    if (!ec)
        acceptor.listen(boost::asio::socket_base::max_listen_connections, ec);
    return ec;
}

// After a failed accept (out of descriptors, most likely) runs again() a little later, rather than
// spin on the error; not at all once the timer is cancelled.
template <typename Again> void acceptLater(boost::asio::steady_timer& timer, Again again) {
    timer.expires_after(std::chrono::milliseconds(100));
    timer.async_wait([again](boost::system::error_code wait) {
        if (!wait)
            again();
    });
}

} // namespace peer

#pragma once

#include <boost/asio/ip/tcp.hpp>

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

} // namespace peer

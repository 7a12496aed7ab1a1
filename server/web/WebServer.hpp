#pragma once

// brannoc-web's HTTP/1.1 server on one io_context thread: a slow client costs a socket, never a
// thread. Beast stays inside WebServer.cpp.

#include "server/common/Log.hpp"
#include "server/common/RefusalSummary.hpp"
#include "server/web/WebService.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

namespace web {

// A whole request, headers and body, from its first byte (or the connection's start).
constexpr std::chrono::seconds requestLimit{10};
// A kept-alive connection between requests.
constexpr std::chrono::seconds idleLimit{5};
// Time the peer has to read an answer, and after a closing answer to close its end.
constexpr std::chrono::seconds writeLimit{10}, lingerLimit{2};
constexpr std::size_t headerLimit = 8192;
// The largest real request is a sign-in form: a token, a name and an index.
constexpr std::size_t bodyLimit = 8192;

class Connection;

class WebServer {
public:
    using Answer = std::function<WebReply(const WebRequest&)>;
    using Log = std::function<void(serverlog::Level, const std::string&)>;

    // metrics: GET /metrics answers the counters below in Prometheus's text format.
    WebServer(boost::asio::io_context& loop, std::size_t maxConnections, std::size_t maxPerAddress,
              Answer answer, Log log, bool metrics = true);
    ~WebServer();

    // Listens on address (an IP address or a host name) and port, and accepts; false with error set
    // when it cannot.
    bool open(const std::string& address, std::uint16_t port, std::string& error);
    // Stops accepting and closes every connection, so the loop runs out of work. Never throws.
    void close() noexcept;
    bool listening() const { return open_; }

private:
    friend class Connection;
    using Place = std::list<std::shared_ptr<Connection>>::iterator;

    void accept();
    void sweep();
    // Logs line unless this address's refusals of this kind already got a line this second; those
    // are counted and summarised as "<address>: dropped N <what> in the last second".
    void refuse(const std::string& key, const std::string& kind, const std::string& what,
                const std::string& line);
    // Forgets a connection that closed.
    void remove(Place place, const std::string& key);
    // Counts an answered request by its route and sign-in outcome.
    void count(const WebReply& reply);
    std::string metrics() const;

    boost::asio::io_context& loop_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer retry_, sweep_;
    std::size_t maxConnections_, maxPerAddress_;
    Answer answer_;
    Log log_;
    std::list<std::shared_ptr<Connection>> connections_; // oldest first
    std::unordered_map<std::string, std::size_t> perAddress_;
    struct Refusals {
        RefusalSummary summary;
        std::string what;
    };
    std::map<std::pair<std::string, std::string>, Refusals> refusals_; // by address key and kind
    bool open_ = false;
    bool metrics_;
    // Fixed names to counts, for the metrics.
    std::map<std::string, std::uint64_t> requests_{{"login", 0}, {"rank", 0}, {"avatar", 0}, {"other", 0}};
    std::map<std::string, std::uint64_t> signIns_{{"accepted", 0}, {"unknown_token", 0}, {"no_token", 0}};
    std::map<std::string, std::uint64_t> dropped_{{"evicted", 0}, {"slow", 0}, {"stalled", 0}};
};

} // namespace web

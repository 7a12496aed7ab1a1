#include "server/web/WebServer.hpp"

#include "server/common/Listen.hpp"
#include "server/common/Metrics.hpp"
#include "server/common/PeerAddress.hpp"
#include "server/web/Admission.hpp"

#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>

#include <array>
#include <optional>
#include <vector>

namespace web {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

const char* reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 413:
        return "Payload Too Large";
    case 431:
        return "Request Header Fields Too Large";
    default:
        return "Internal Server Error";
    }
}

} // namespace

// One connection: reads requests one at a time, each within requestLimit, answers each, and keeps
// the connection for the next one while the request asked for that. At most one timer and one
// socket operation are under way.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket socket, WebServer& server, std::string key, std::string peer)
        : socket_(std::move(socket)), timer_(socket_.get_executor()), server_(server), key_(std::move(key)),
          peer_(std::move(peer)) {}

    void start(WebServer::Place place) {
        place_ = place;
        read();
    }

    // Not yet holding a whole request: the first, or the next on a kept-alive connection.
    bool waiting() const { return stage_ == Stage::Idle || stage_ == Stage::Request; }
    const std::string& key() const { return key_; }
    const std::string& peer() const { return peer_; }

    // Closes at once; line (if any) is logged as a refusal of this kind. Never throws.
    void close(const std::string& kind = {}, const std::string& what = {},
               const std::string& line = {}) noexcept {
        if (stage_ == Stage::Closed)
            return;
        stage_ = Stage::Closed;
        const auto self = shared_from_this(); // the server's list may hold the last other reference
        boost::system::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        timer_.cancel();
        try {
            if (!line.empty())
                server_.refuse(key_, kind, what, line);
            const auto dropped = server_.dropped_.find(kind);
            if (dropped != server_.dropped_.end())
                ++dropped->second;
        } catch (const std::exception&) {
        }
        server_.remove(place_, key_); // may drop the list's reference: the handlers hold their own
    }

private:
    enum class Stage { Idle, Request, Answer, Linger, Closed };

    // Arms the one timer for the current stage; a timer that was re-armed in the meantime is stale.
    void arm(Clock::duration limit) {
        const unsigned armed = ++armed_;
        timer_.expires_after(limit);
        timer_.async_wait([self = shared_from_this(), armed](boost::system::error_code ec) {
            if (ec || armed != self->armed_)
                return;
            switch (self->stage_) {
            case Stage::Request:
                self->close("slow", "connections with no whole request in 10 s",
                            self->peer_ + ": dropped: no whole request in 10 s");
                return;
            case Stage::Answer:
                self->close("stalled", "connections not reading their answer",
                            self->peer_ + ": dropped: not reading its answer for 10 s");
                return;
            default:
                self->close(); // idle for the keep-alive limit, or lingering: nothing to say
            }
        });
    }

    // Waits for the next request's first byte, for the keep-alive limit.
    void idle() {
        stage_ = Stage::Idle;
        if (buffer_.size() > 0) { // pipelined: the request is already here
            read();
            return;
        }
        arm(idleLimit);
        socket_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](boost::system::error_code ec) {
            if (self->stage_ != Stage::Idle)
                return;
            if (ec)
                self->close();
            else
                self->read();
        });
    }

    void read() {
        stage_ = Stage::Request;
        arm(requestLimit);
        parser_.emplace();
        parser_->header_limit(headerLimit);
        parser_->body_limit(bodyLimit);
        http::async_read(
            socket_, buffer_, *parser_,
            [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
                if (self->stage_ != Stage::Request)
                    return;
                if (!ec)
                    self->answer();
                else if (ec == http::error::header_limit || ec == http::error::buffer_overflow)
                    self->refuse(431, "request over 8 KiB");
                else if (ec == http::error::body_limit)
                    self->refuse(413, "request body over 8 KiB");
                else if (ec == http::error::end_of_stream || ec == http::error::partial_message ||
                         ec.category() != http::make_error_code(http::error::bad_target).category())
                    self->close(); // gone, before or during a request
                else
                    self->refuse(400, "bad request");
            });
    }

    void answer() {
        auto& request = parser_->get();
        const auto method = request.method();
        const auto target = request.target();
        const auto name = request.method_string();
        WebRequest asked{std::string(name.data(), name.size()), requestPath({target.data(), target.size()}),
                         std::move(request.body())};
        const bool keepAlive = request.keep_alive();
        parser_.reset();
        WebReply reply;
        // The client uses GET and POST; HEAD is GET without the body.
        if (server_.metrics_ && method == http::verb::get && asked.path == "/metrics")
            reply = {200, server_.metrics(), metrics::contentType, "metrics"};
        else if (method == http::verb::get || method == http::verb::post || method == http::verb::head)
            reply = server_.answer_(asked);
        else
            reply = {404, "not found", "text/plain", "not found"};
        server_.count(reply);
        const std::string line = asked.method + " " + asked.path + " from " + peer_ + ": " + reply.outcome;
        if (reply.status < 400)
            server_.log_(serverlog::Level::Info, line);
        else
            server_.refuse(key_, "answered " + std::to_string(reply.status),
                           "log lines of " + std::to_string(reply.status) + " answers", line);
        if (method == http::verb::head) {
            head_ = reply.body.size();
            reply.body.clear();
        } else {
            head_.reset();
        }
        write(reply.status, reply.contentType, std::move(reply.body), keepAlive);
    }

    // Answers a request that cannot be read, and closes.
    void refuse(int status, const std::string& why) {
        server_.refuse(key_, "refused " + std::to_string(status),
                       "requests refused " + std::to_string(status), peer_ + ": refused: " + why);
        head_.reset();
        write(status, "text/plain", why, false);
    }

    void write(int status, const std::string& type, std::string body, bool keepAlive) {
        stage_ = Stage::Answer;
        arm(writeLimit);
        const std::size_t length = head_ ? *head_ : body.size();
        out_ = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\nContent-Type: " + type +
               "\r\nContent-Length: " + std::to_string(length) +
               (keepAlive ? "\r\nConnection: keep-alive\r\nKeep-Alive: timeout=5\r\n\r\n"
                          : "\r\nConnection: close\r\n\r\n");
        body_ = std::move(body);
        const std::array<asio::const_buffer, 2> buffers{asio::buffer(out_), asio::buffer(body_)};
        asio::async_write(socket_, buffers,
                          [self = shared_from_this(), keepAlive](boost::system::error_code ec, std::size_t) {
                              if (self->stage_ != Stage::Answer)
                                  return;
                              std::string().swap(self->body_); // an avatar need not stay in memory
                              if (ec)
                                  self->close();
                              else if (keepAlive)
                                  self->idle();
                              else
                                  self->linger();
                          });
    }

    // Closing with a request's rest unread would reset the connection and could lose the answer:
    // say we are done, then read and drop until the peer is done too, or the linger limit.
    void linger() {
        stage_ = Stage::Linger;
        arm(lingerLimit);
        boost::system::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        drain();
    }

    void drain() {
        socket_.async_read_some(asio::buffer(discard_),
                                [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
                                    if (self->stage_ != Stage::Linger)
                                        return;
                                    if (ec)
                                        self->close();
                                    else
                                        self->drain();
                                });
    }

    tcp::socket socket_;
    asio::steady_timer timer_;
    WebServer& server_;
    WebServer::Place place_{};
    std::string key_, peer_;
    Stage stage_ = Stage::Request;
    unsigned armed_ = 0;
    // Enough for a whole header and a little of what is pipelined behind it.
    boost::beast::flat_buffer buffer_{2 * headerLimit};
    std::optional<http::request_parser<http::string_body>> parser_;
    std::optional<std::size_t> head_; // HEAD: the length the body would have had
    std::string out_, body_;
    std::array<char, 1024> discard_{};
};

WebServer::WebServer(asio::io_context& loop, std::size_t maxConnections, std::size_t maxPerAddress,
                     Answer answer, Log log, bool metrics)
    : loop_(loop), acceptor_(loop), retry_(loop), sweep_(loop), maxConnections_(maxConnections),
      maxPerAddress_(maxPerAddress), answer_(std::move(answer)), log_(std::move(log)), metrics_(metrics) {}

void WebServer::count(const WebReply& reply) {
    if (reply.outcome == "metrics")
        return;
    ++requests_[reply.route];
    if (reply.signIn)
        ++signIns_[reply.signIn];
}

std::string WebServer::metrics() const {
    const auto samples = [](const std::map<std::string, std::uint64_t>& counts) {
        std::vector<std::pair<std::string, double>> out;
        for (const auto& [name, n] : counts)
            out.emplace_back(name, static_cast<double>(n));
        return out;
    };
    metrics::Exposition out;
    out.gauge("brannoc_web_connections", "Connections open.", static_cast<double>(connections_.size()));
    out.counter("brannoc_web_requests_total", "Requests answered, by route.", "route", samples(requests_));
    out.counter("brannoc_web_sign_ins_total", "Sign-ins, by outcome.", "outcome", samples(signIns_));
    out.counter("brannoc_web_connections_dropped_total",
                "Connections closed for slowness: evicted at the cap for a new one, no whole request in "
                "time (slow), or not reading the answer (stalled).",
                "reason", samples(dropped_));
    out.process();
    return out.text();
}

WebServer::~WebServer() {
    close();
}

bool WebServer::open(const std::string& address, std::uint16_t port, std::string& error) {
    boost::system::error_code ec;
    tcp::resolver resolver(loop_);
    const auto found = resolver.resolve(address, std::to_string(port), tcp::resolver::passive, ec);
    if (ec || found.empty()) {
        error = "cannot find the address " + address + (ec ? ": " + ec.message() : "");
        return false;
    }
    ec = peer::listenOn(acceptor_, found.begin()->endpoint());
    if (ec) {
        error = "cannot listen on " + address + " port " + std::to_string(port) + ": " + ec.message();
        boost::system::error_code ignored;
        acceptor_.close(ignored);
        return false;
    }
    open_ = true;
    accept();
    sweep();
    return true;
}

void WebServer::close() noexcept {
    open_ = false;
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel();
    sweep_.cancel();
    // Each close() takes its connection out of the list.
    while (!connections_.empty())
        connections_.front()->close();
}

void WebServer::accept() {
    acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
        if (!open_)
            return;
        if (ec) {
            log_(serverlog::Level::Warning, "accept failed: " + ec.message());
            peer::acceptLater(retry_, [this] {
                if (open_)
                    accept();
            });
            return;
        }
        boost::system::error_code remoteError;
        const auto remote = socket.remote_endpoint(remoteError);
        if (!remoteError) {
            const auto address = peer::canonical(remote.address());
            const std::string key = peer::countKey(address),
                              label = peer::label(address.to_string(), remote.port());
            const auto counted = perAddress_.find(key);
            const std::size_t fromAddress = counted == perAddress_.end() ? 0 : counted->second;
            std::shared_ptr<Connection> oldestWaiting;
            if (connections_.size() >= maxConnections_)
                for (const auto& connection : connections_)
                    if (connection->waiting()) {
                        oldestWaiting = connection;
                        break;
                    }
            switch (admit(connections_.size(), fromAddress, oldestWaiting != nullptr, maxConnections_,
                          maxPerAddress_)) {
            case Admission::RefuseFromAddress:
                refuse(key, "address", "connections over the per-address cap",
                       label + ": refused: " + std::to_string(maxPerAddress_) + " connections from " + key +
                           " already");
                break;
            case Admission::RefuseFull:
                refuse(key, "full", "connections at the total cap",
                       label + ": refused: " + std::to_string(maxConnections_) +
                           " connections already, all answering");
                break;
            case Admission::EvictWaiting:
                oldestWaiting->close("evicted", "waiting connections for new ones",
                                     oldestWaiting->peer() + ": dropped: no whole request yet, and " +
                                         std::to_string(maxConnections_) + " connections are open");
                [[fallthrough]];
            case Admission::Admit: {
                auto connection = std::make_shared<Connection>(std::move(socket), *this, key, label);
                ++perAddress_[key];
                connection->start(connections_.insert(connections_.end(), connection));
                break;
            }
            }
        }
        accept();
    });
}

void WebServer::sweep() {
    sweep_.expires_after(std::chrono::seconds(1));
    sweep_.async_wait([this](boost::system::error_code ec) {
        if (ec || !open_)
            return;
        const auto now = Clock::now();
        for (auto it = refusals_.begin(); it != refusals_.end();) {
            if (const std::size_t n = it->second.summary.due(now))
                log_(serverlog::Level::Warning,
                     it->first.first + ": " + RefusalSummary::line(n, it->second.what));
            it = it->second.summary.idle() ? refusals_.erase(it) : std::next(it);
        }
        sweep();
    });
}

void WebServer::refuse(const std::string& key, const std::string& kind, const std::string& what,
                       const std::string& line) {
    Refusals& refusals = refusals_[{key, kind}];
    refusals.what = what;
    if (refusals.summary.note(Clock::now()))
        log_(serverlog::Level::Warning, line);
}

void WebServer::remove(Place place, const std::string& key) {
    const auto counted = perAddress_.find(key);
    if (counted != perAddress_.end() && --counted->second == 0)
        perAddress_.erase(counted);
    connections_.erase(place);
}

} // namespace web

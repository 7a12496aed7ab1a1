#include "server/realtime/net/Viewer.hpp"

#include "server/common/Metrics.hpp"
#include "server/realtime/overlay/Overlay.hpp"
#include "server/realtime/room/Room.hpp"

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>

#include <array>

namespace server {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using pacing::Clock;

namespace {

constexpr std::size_t maxRequest = 8192;

std::string head(int status, std::string_view type, std::size_t length, bool store = false) {
    const char* reason = status == 200   ? "OK"
                         : status == 400 ? "Bad Request"
                         : status == 404 ? "Not Found"
                         : status == 405 ? "Method Not Allowed"
                                         : "Request Header Fields Too Large";
    std::string text = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
    text += "Content-Type: " + std::string(type) + "\r\n";
    if (status == 405)
        text += "Allow: GET\r\n";
    if (length != std::string::npos)
        text += "Content-Length: " + std::to_string(length) + "\r\n";
    return text + (store ? "" : "Cache-Control: no-store\r\n") + "Connection: close\r\n\r\n";
}

} // namespace

struct Viewer::Request {
    boost::beast::flat_buffer buffer{maxRequest};
    http::request_parser<http::empty_body> parser;
};

Viewer::Viewer(asio::ip::tcp::socket socket, Room& room, std::string address, std::string peer)
    : socket_(std::move(socket)), timer_(socket_.get_executor()), room_(room), address_(std::move(address)),
      peer_(std::move(peer)), request_(std::make_unique<Request>()), since_(Clock::now()) {
    request_->parser.header_limit(maxRequest);
}

Viewer::~Viewer() = default;

void Viewer::start() {
    // Events are small and due at once. A fixed send buffer keeps a thousand viewers from growing
    // the kernel's, and lets a viewer that stops reading be seen as one within seconds.
    boost::system::error_code ignored;
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    socket_.set_option(asio::socket_base::send_buffer_size(64 * 1024), ignored);
    http::async_read_header(
        socket_, request_->buffer, request_->parser,
        [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
            if (self->closed_)
                return;
            if (!ec) {
                self->answer();
            } else if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
                self->room_.stats().refused(Refused::OverlayRequest);
                logLine(serverlog::Level::Warning, self->peer_ + ": overlay: refused: request over 8 KiB");
                self->reply(431, "text/plain", "request over 8 KiB\n");
            } else if (ec == http::error::end_of_stream || ec == asio::error::eof ||
                       self->request_->buffer.size() == 0) {
                self->close(""); // gone before asking anything
            } else {
                self->room_.stats().refused(Refused::OverlayRequest);
                logLine(serverlog::Level::Warning, self->peer_ + ": overlay: refused: " + ec.message());
                self->reply(400, "text/plain", "bad request\n");
            }
        });
}

void Viewer::answer() {
    const auto& request = request_->parser.get();
    const auto method = request.method_string();
    const auto target = request.target();
    const auto route =
        overlay::route({method.data(), method.size()}, {target.data(), target.size()}, room_.servesMetrics());
    request_.reset(); // a thousand idle viewers need not keep their requests
    switch (route) {
    case overlay::Route::Page:
        reply(200, "text/html; charset=utf-8", overlay::page());
        return;
    case overlay::Route::Metrics: {
        // The text is made for this request: it travels in the buffer the write owns.
        const std::string text = room_.metrics();
        stage_ = Stage::Reply;
        write(head(200, metrics::contentType, text.size()) + text);
        return;
    }
    case overlay::Route::NotFound:
        reply(404, "text/plain", "not found\n");
        return;
    case overlay::Route::NotAllowed:
        reply(405, "text/plain", "method not allowed\n");
        return;
    case overlay::Route::Events:
        break;
    }
    logLine(serverlog::Level::Debug, peer_ + ": overlay stream opened");
    stage_ = Stage::Stream;
    // The page reconnects a second after losing the stream; its first event is the whole tally.
    lastEvent_ = Clock::now();
    write(head(200, "text/event-stream", std::string::npos) + "retry: 1000\n\n" +
          room_.overlayEvent(true, {}));
    drain("overlay stream closed"); // a viewer says nothing after its request
}

void Viewer::drain(const std::string& reason) {
    // Whatever the peer still sends is read and dropped: a read ends only when it goes away.
    socket_.async_read_some(asio::buffer(discard_),
                            [self = shared_from_this(), reason](boost::system::error_code ec, std::size_t) {
                                if (self->closed_)
                                    return;
                                if (ec)
                                    self->close(reason);
                                else
                                    self->drain(reason);
                            });
}

void Viewer::reply(int status, std::string_view type, std::string_view body) {
    stage_ = Stage::Reply;
    write(head(status, type, body.size()), body);
}

// Changes matter only to a stream: a page request or a refusal ignores them.
void Viewer::tallyChanged(const std::vector<std::string>& users) {
    if (!streaming())
        return;
    dirty_ = true;
    users_.insert(users.begin(), users.end());
    pump();
}

void Viewer::stateChanged(const std::string& user) {
    if (!streaming())
        return;
    dirty_ = true;
    users_.insert(user);
    pump();
}

void Viewer::resync() {
    if (!streaming())
        return;
    full_ = true;
    dirty_ = false;
    users_.clear();
    pump();
}

void Viewer::pump() {
    if (closed_ || writing_ || !(full_ || dirty_))
        return;
    const auto now = Clock::now();
    const auto when = pacing::nextBroadcast(lastEvent_, now);
    if (when > now) {
        if (!timerArmed_) {
            timerArmed_ = true;
            timer_.expires_at(when);
            timer_.async_wait([self = shared_from_this()](boost::system::error_code ec) {
                self->timerArmed_ = false;
                if (!ec)
                    self->pump();
            });
        }
        return;
    }
    std::string bytes = room_.overlayEvent(full_, users_);
    full_ = dirty_ = false;
    users_.clear();
    lastEvent_ = now;
    write(std::move(bytes));
}

void Viewer::write(std::string head, std::string_view body) {
    out_ = std::move(head);
    writing_ = true;
    writeSince_ = Clock::now();
    const std::array<asio::const_buffer, 2> buffers{asio::buffer(out_), asio::buffer(body)};
    asio::async_write(socket_, buffers,
                      [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
                          if (self->closed_)
                              return;
                          self->writing_ = false;
                          self->lastWrite_ = Clock::now();
                          // The whole tally can be large: keep no copy of it once it is sent.
                          if (self->out_.capacity() > 4096)
                              std::string().swap(self->out_);
                          if (ec) {
                              self->close(self->stage_ == Stage::Stream ? "overlay stream closed" : "");
                              return;
                          }
                          if (self->stage_ == Stage::Reply)
                              self->linger();
                          else
                              self->pump();
                      });
}

void Viewer::linger() {
    // Closing with the rest of a request unread would reset the connection, and the peer could lose
    // the answer: say we are done, then read until the peer is done too.
    stage_ = Stage::Linger;
    since_ = Clock::now();
    boost::system::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    drain("");
}

std::optional<std::string> Viewer::tick(Clock::time_point now) {
    if (stage_ == Stage::Request && now - since_ >= requestLimit) {
        room_.stats().refused(Refused::OverlayRequest);
        return std::string("overlay: dropped: no request in 10 s");
    }
    if (stage_ == Stage::Linger && now - since_ >= lingerLimit)
        return std::string();
    if (writing_ && now - writeSince_ >= pacing::writeStallLimit) {
        room_.stats().refused(Refused::NotReading);
        return std::string(stage_ == Stage::Stream ? "overlay stream dropped: not reading for 10 s"
                                                   : "overlay: dropped: not reading for 10 s");
    }
    if (stage_ == Stage::Stream && !writing_ && now - lastWrite_ >= beatInterval)
        write(std::string(overlay::beat));
    return std::nullopt;
}

void Viewer::close(const std::string& reason) {
    if (closed_)
        return;
    closed_ = true;
    boost::system::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    timer_.cancel();
    if (!reason.empty())
        logLine(reason.find("dropped") != std::string::npos ? serverlog::Level::Warning
                                                            : serverlog::Level::Debug,
                peer_ + ": " + reason);
    room_.unwatch(*this);
}

} // namespace server

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

Bytes text(std::string_view body) {
    return share(std::string(body));
}

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace

struct Viewer::Request {
    boost::beast::flat_buffer buffer{maxRequest};
    http::request_parser<http::empty_body> parser;
};

Viewer::Viewer(asio::ip::tcp::socket socket, Room& room, std::string address, std::string peer)
    : socket_(std::move(socket)), room_(room), address_(std::move(address)), peer_(std::move(peer)),
      request_(std::make_unique<Request>()), since_(Clock::now()) {
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
                self->reply(431, "text/plain", text("request over 8 KiB\n"));
            } else if (ec == http::error::end_of_stream || ec == asio::error::eof ||
                       self->request_->buffer.size() == 0) {
                self->close(""); // gone before asking anything
            } else {
                self->room_.stats().refused(Refused::OverlayRequest);
                logLine(serverlog::Level::Warning, self->peer_ + ": overlay: refused: " + ec.message());
                self->reply(400, "text/plain", text("bad request\n"));
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
    case overlay::Route::Page: {
        static const Bytes page = share(std::string(overlay::page()));
        reply(200, "text/html; charset=utf-8", page);
        return;
    }
    case overlay::Route::Metrics:
        reply(200, metrics::contentType, share(room_.metrics()));
        return;
    case overlay::Route::NotFound:
        reply(404, "text/plain", text("not found\n"));
        return;
    case overlay::Route::NotAllowed:
        reply(405, "text/plain", text("method not allowed\n"));
        return;
    case overlay::Route::Events:
        break;
    }
    logLine(serverlog::Level::Debug, peer_ + ": overlay stream opened");
    stage_ = Stage::Stream;
    // The page reconnects a second after losing the stream; its first event is the whole tally,
    // with the server's clock, which only this viewer's copy of the head carries.
    send(share(head(200, "text/event-stream", std::string::npos) + "retry: 1000\n\n" +
               overlay::eventHead(true, nowMs())));
    send(room_.overlayWhole());
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

void Viewer::reply(int status, std::string_view type, const Bytes& body) {
    stage_ = Stage::Reply;
    send(share(head(status, type, body->size())));
    send(body);
}

void Viewer::event(const Bytes& bytes) {
    if (streaming())
        send(bytes);
}

void Viewer::event(const Bytes& head, const Bytes& body) {
    if (streaming()) {
        send(head);
        send(body);
    }
}

void Viewer::send(const Bytes& bytes) {
    if (closed_)
        return;
    if (!outbox_.push(bytes)) {
        // A gap would leave the page wrong: the viewer goes, and its page comes back whole.
        asio::post(socket_.get_executor(), [self = shared_from_this()] {
            self->room_.stats().refused(Refused::NotReading);
            self->close("overlay stream dropped: not reading (send queue full)");
        });
        return;
    }
    write();
}

void Viewer::write() {
    outbox_.send(socket_, [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
        self->written(ec);
    });
}

void Viewer::written(boost::system::error_code ec) {
    if (closed_)
        return;
    outbox_.sent();
    if (ec) {
        close(stage_ == Stage::Stream ? "overlay stream closed" : "");
        return;
    }
    write();
    if (!outbox_.writing() && stage_ == Stage::Reply)
        linger();
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
    if (outbox_.writing() && outbox_.writingFor(now) >= pacing::writeStallLimit) {
        room_.stats().refused(Refused::NotReading);
        return std::string(stage_ == Stage::Stream ? "overlay stream dropped: not reading for 10 s"
                                                   : "overlay: dropped: not reading for 10 s");
    }
    if (stage_ == Stage::Stream && !outbox_.writing() && now - outbox_.lastWrite() >= beatInterval) {
        static const Bytes beat = share(std::string(overlay::beat));
        send(beat);
    }
    return std::nullopt;
}

void Viewer::close(const std::string& reason) {
    if (closed_)
        return;
    closed_ = true;
    outbox_.close(socket_);
    if (!reason.empty())
        logLine(reason.find("dropped") != std::string::npos ? serverlog::Level::Warning
                                                            : serverlog::Level::Debug,
                peer_ + ": " + reason);
    room_.unwatch(*this);
}

} // namespace server

#include "server/realtime/net/Session.hpp"

#include "server/common/PeerAddress.hpp"
#include "server/realtime/room/Room.hpp"
#include "text/SafeText.hpp"

namespace server {

namespace asio = boost::asio;
using pacing::Clock;

namespace {

// Each kind of Session::Refusal, for its summary line.
const char* const refusalReasons[] = {"over the rate",    "too many waiting to be stored",
                                      "not stored",       "the total is at 65535",
                                      "a count at 65535", "65535 users already"};

const Bytes& pong() {
    static const Bytes frame = share(wire::Writer("pong").frame());
    return frame;
}

} // namespace

Session::Session(asio::ip::tcp::socket socket, Room& room, std::string address, std::string peer,
                 bool fromProxy)
    : socket_(std::move(socket)), room_(room), address_(std::move(address)), peer_(std::move(peer)),
      lastRead_(Clock::now()), awaitingHeader_(fromProxy) {}

void Session::start() {
    boost::system::error_code ignored;
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    // Writes are tried at once (see write()); the reads stay asynchronous either way.
    socket_.non_blocking(true, ignored);
    // Behind the balancer the client is known, and counted, only once its header is read.
    if (awaitingHeader_) {
        read();
        return;
    }
    room_.welcome(*this);
    read();
}

void Session::read() {
    socket_.async_read_some(asio::buffer(readBuffer_),
                            [self = shared_from_this()](boost::system::error_code ec, std::size_t n) {
                                if (self->closed_)
                                    return;
                                if (ec) {
                                    const bool clean = ec == asio::error::eof;
                                    self->close(clean ? "closed" : "read failed: " + ec.message());
                                    return;
                                }
                                if (self->received(n))
                                    self->read();
                            });
}

bool Session::received(std::size_t n) {
    lastRead_ = Clock::now();
    if (awaitingHeader_) {
        header_.append(readBuffer_.data(), n);
        const auto header = proxy::parse(header_);
        switch (header.status) {
        case proxy::Header::Status::NeedMore:
            return true;
        case proxy::Header::Status::Invalid:
            spoke_ = true;
            refuseAndClose(Refused::ProxyHeader, "refused: " + header.error);
            return false;
        case proxy::Header::Status::Absent:
            break;
        case proxy::Header::Status::Local:
            // The balancer's own health check: no tally, no log line, not counted.
            close("");
            return false;
        case proxy::Header::Status::Proxied:
            address_ = peer::canonical(header.address);
            peer_ = peer::label(address_, header.port);
            header_.erase(0, header.size);
            break;
        }
        awaitingHeader_ = false;
        // The client's own address counts against the per-address cap from now on.
        if (!room_.place(*this)) {
            close("");
            return false;
        }
        room_.welcome(*this);
        if (header_.empty())
            return true;
        frames_.append(header_.data(), header_.size());
        header_.clear();
    } else {
        // Only the balancer's addresses may say whose connection this is.
        if (!spoke_ &&
            proxy::parse(std::string_view(readBuffer_.data(), n)).status != proxy::Header::Status::Absent) {
            spoke_ = true;
            refuseAndClose(Refused::ProxyHeader,
                           "refused: a PROXY header from an address not given with --proxy-from");
            return false;
        }
        frames_.append(readBuffer_.data(), n);
    }
    if (!spoke_) {
        spoke_ = true;
        logLine(serverlog::Level::Debug, peer_ + ": connected");
    }
    std::string data;
    for (;;) {
        const auto status = frames_.next(data);
        if (status == wire::FrameReader::Status::NeedMore)
            break;
        if (status == wire::FrameReader::Status::TooLarge) {
            refuseAndClose(Refused::Frame, "refused: frame over 64 KiB");
            return false;
        }
        handle(data);
        if (closed_)
            return false;
    }
    return true;
}

void Session::handle(const std::string& data) {
    wire::ClientMessage message;
    std::string error;
    if (!wire::parseClientMessage(data, message, error)) {
        refuseAndClose(Refused::Malformed, "refused: " + error);
        return;
    }
    switch (message.kind) {
    case wire::ClientMessage::Kind::Ping: {
        if (greeted_)
            send(pong());
        else
            ++heldPongs_;
        break;
    }
    case wire::ClientMessage::Kind::Whoami:
        if (!whoamiRate_.allow(Clock::now())) {
            refuseAndClose(Refused::Whoamis, "refused: over " + std::to_string(pacing::whoamisPerSecond) +
                                                 " whoami in one second");
            break;
        }
        // Real names come from the web service, which refuses these; they would reach terminals.
        if (SafeText::hasControl(message.user) || SafeText::hasControl(message.display)) {
            refuseAndClose(Refused::Controls, "refused: whoami " + SafeText::printable(message.user) + " (" +
                                                  SafeText::printable(message.display) +
                                                  ") holds control characters");
            break;
        }
        room_.name(*this, message.user, message.display);
        break;
    case wire::ClientMessage::Kind::Increment:
        if (!rate_.allow(Clock::now())) {
            refuse(Refusal::OverRate, "refused increment: over " +
                                          std::to_string(pacing::incrementsPerSecond) + " in one second");
            break;
        }
        room_.increment(*this);
        break;
    }
}

Refused Session::counted(Refusal kind) {
    constexpr Refused kinds[] = {Refused::IncrementRate, Refused::Backlog,   Refused::NotStored,
                                 Refused::TotalFull,     Refused::CountFull, Refused::UsersFull};
    return kinds[static_cast<std::size_t>(kind)];
}

void Session::refuse(Refusal kind, const std::string& what) {
    room_.stats().refused(counted(kind));
    const auto i = static_cast<std::size_t>(kind);
    if (refusals_[i].note(Clock::now()))
        logLine(serverlog::Level::Warning, label() + ": " + what);
}

void Session::refuseAndClose(Refused kind, const std::string& reason) {
    room_.stats().refused(kind);
    close(reason);
}

void Session::summarise(Clock::time_point now) {
    for (std::size_t i = 0; i < refusals_.size(); ++i)
        if (const auto n = refusals_[i].due(now))
            logLine(serverlog::Level::Warning,
                    label() + ": " + RefusalSummary::line(n, "increments") + " (" + refusalReasons[i] + ")");
}

void Session::send(const Bytes& bytes) {
    if (closed_)
        return;
    if (!outbox_.push(bytes)) {
        // Closed from the loop rather than here: the room may be walking its sessions right now.
        asio::post(socket_.get_executor(), [self = shared_from_this()] {
            self->refuseAndClose(Refused::NotReading, "dropped: not reading (send queue full)");
        });
        return;
    }
    write();
}

void Session::write() {
    // A tick writes to thousands of sessions: one system call each when the kernel takes the bytes,
    // with no handler to allocate, queue and run.
    boost::system::error_code failed;
    if (outbox_.sendNow(socket_, failed))
        return;
    if (failed) {
        // Closed from the loop rather than here: the room may be walking its sessions right now.
        asio::post(socket_.get_executor(), [self = shared_from_this(), why = failed.message()] {
            self->close("write failed: " + why);
        });
        return;
    }
    outbox_.send(socket_, [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
        if (self->closed_)
            return;
        self->outbox_.sent();
        if (ec) {
            self->close("write failed: " + ec.message());
            return;
        }
        self->write();
    });
}

void Session::greet(const Bytes& whole) {
    if (closed_ || greeted_)
        return;
    greeted_ = true;
    send(whole);
    for (; heldPongs_ > 0; --heldPongs_)
        send(pong());
}

bool Session::broadcast(const Bytes& frame) {
    if (!greeted_ || closed_)
        return false;
    send(frame);
    return true;
}

std::string Session::label() const {
    return user_ ? peer_ + " " + SafeText::printable(*user_) : peer_;
}

std::optional<std::string> Session::overdue(Clock::time_point now) const {
    const auto unread = [this] {
        boost::system::error_code ec;
        return socket_.available(ec);
    };
    if (const char* why =
            pacing::dropReason(now - lastRead_, unread, outbox_.writing(), outbox_.writingFor(now)))
        return std::string(why);
    return std::nullopt;
}

void Session::close(const std::string& reason) {
    if (closed_)
        return;
    closed_ = true;
    outbox_.close(socket_);
    // A connection that never said anything (a health check) leaves no trace in the log.
    if (!reason.empty() && spoke_)
        logLine(reason.rfind("refused", 0) == 0 || reason.rfind("dropped", 0) == 0 ? serverlog::Level::Warning
                                                                                   : serverlog::Level::Debug,
                label() + ": disconnected (" + reason + ")");
    room_.leave(*this);
}

} // namespace server

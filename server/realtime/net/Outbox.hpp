#pragma once

#include "server/realtime/net/Pacing.hpp"

#include <boost/asio.hpp>

#include <memory>
#include <string>
#include <vector>

namespace server {

// Bytes encoded once and shared by every connection they are sent to.
using Bytes = std::shared_ptr<const std::string>;
inline Bytes share(std::string bytes) {
    return std::make_shared<const std::string>(std::move(bytes));
}

// What one connection has yet to send: references to shared bytes, handed to the kernel in one
// gathered write at a time, and the clock that tells a peer that stopped reading. Game clients and
// overlay viewers alike.
class Outbox {
public:
    // Queues the bytes; false, queuing nothing, when that would pass pacing::maxQueuedBytes.
    bool push(Bytes bytes) {
        if (!bytes || bytes->empty())
            return true;
        if (queuedBytes_ + bytes->size() > pacing::maxQueuedBytes)
            return false;
        queuedBytes_ += bytes->size();
        queued_.push_back(std::move(bytes));
        return true;
    }

    // Unless a write is under way, hands what waits to a socket in non-blocking mode at once, with
    // no handler: true when the kernel took all of it (a tick's usual case, which then costs one
    // system call and nothing more). Otherwise what it took is remembered for send(), and a
    // failure other than a full socket buffer is left in error.
    template <typename Socket> bool sendNow(Socket& socket, boost::system::error_code& error) {
        if (writing() || queued_.empty())
            return false;
        const std::size_t n = socket.write_some(gather(queued_), error);
        if (error == boost::asio::error::would_block || error == boost::asio::error::try_again)
            error = {};
        if (error)
            return false;
        if (n < queuedBytes_ - skip_) {
            skip_ += n;
            return false;
        }
        queued_.clear();
        queuedBytes_ = 0;
        skip_ = 0;
        lastWrite_ = pacing::Clock::now();
        return true;
    }

    // Unless a write is under way or nothing waits, writes everything queued in one gathered write
    // and returns true; done(error, n) runs when it ends and must call sent() first.
    template <typename Stream, typename Done> bool send(Stream& stream, Done done) {
        if (writing() || queued_.empty())
            return false;
        auto buffers = gather(queued_);
        sending_.swap(queued_);
        skip_ = 0;
        since_ = pacing::Clock::now();
        boost::asio::async_write(stream, std::move(buffers), std::move(done));
        return true;
    }
    // The write under way ended: its bytes are released.
    void sent() {
        for (const auto& bytes : sending_)
            queuedBytes_ -= bytes->size();
        sending_.clear();
        lastWrite_ = pacing::Clock::now();
    }
    // The connection ends: the socket is shut both ways and closed, and nothing queued is sent.
    template <typename Socket> void close(Socket& socket) {
        boost::system::error_code ignored;
        socket.shutdown(Socket::shutdown_both, ignored);
        socket.close(ignored);
        clear();
    }
    void clear() {
        queued_.clear();
        sending_.clear();
        queuedBytes_ = 0;
        skip_ = 0;
    }

    bool writing() const { return !sending_.empty(); }
    // How long the write under way has waited for the peer.
    pacing::Clock::duration writingFor(pacing::Clock::time_point now) const { return now - since_; }
    // When the last write ended (or the outbox was made): an idle stream's beat follows from it.
    pacing::Clock::time_point lastWrite() const { return lastWrite_; }

private:
    // The buffers of these bytes, less the first skip_ that the kernel already took.
    std::vector<boost::asio::const_buffer> gather(const std::vector<Bytes>& all) const {
        std::vector<boost::asio::const_buffer> buffers;
        buffers.reserve(all.size());
        std::size_t skip = skip_;
        for (const auto& bytes : all) {
            if (skip >= bytes->size()) {
                skip -= bytes->size();
                continue;
            }
            buffers.push_back(boost::asio::buffer(*bytes) + skip);
            skip = 0;
        }
        return buffers;
    }

    std::vector<Bytes> queued_, sending_;
    std::size_t queuedBytes_ = 0;
    std::size_t skip_ = 0; // bytes of queued_ already written by sendNow()
    pacing::Clock::time_point since_{}, lastWrite_ = pacing::Clock::now();
};

} // namespace server

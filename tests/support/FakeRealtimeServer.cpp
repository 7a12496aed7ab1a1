#include "tests/support/FakeRealtimeServer.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <future>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::uint32_t bigEndian32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

} // namespace

sf::Packet FakeRealtimeServer::Received::packet() const {
    sf::Packet result;
    result.append(bytes.data(), bytes.size());
    return result;
}

FakeRealtimeServer::FakeRealtimeServer(unsigned short port) : port_(port) {}

FakeRealtimeServer::~FakeRealtimeServer() {
    stop();
}

bool FakeRealtimeServer::openListener() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return false;
    }
    listenFd_ = fd;
    return true;
}

void FakeRealtimeServer::closeListener() {
    if (listenFd_ >= 0) {
        close(listenFd_);
        listenFd_ = -1;
    }
}

bool FakeRealtimeServer::start() {
    if (thread_.joinable())
        return true;
    if (!openListener())
        return false;
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        closeListener();
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
    }
    thread_ = std::thread([this] { serve(); });
    return true;
}

void FakeRealtimeServer::stop() {
    if (!thread_.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
    thread_.join();
    close(wakeFd_);
    wakeFd_ = -1;
}

void FakeRealtimeServer::serve() {
    for (;;) {
        std::vector<pollfd> watched{{wakeFd_, POLLIN, 0}};
        const int listening = listenFd_;
        if (listening >= 0)
            watched.push_back({listening, POLLIN, 0});
        std::vector<Connection*> readable;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto& connection : connections_) {
                if (connection->closed || connection->stalled)
                    continue;
                watched.push_back({connection->fd, POLLIN, 0});
                readable.push_back(connection.get());
            }
        }
        poll(watched.data(), watched.size(), 50);

        std::uint64_t count = 0;
        while (read(wakeFd_, &count, sizeof count) > 0) {
        }
        for (;;) {
            std::function<void()> job;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (work_.empty())
                    break;
                job = std::move(work_.front());
                work_.pop_front();
            }
            job();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                break;
        }

        const std::size_t next = listening >= 0 ? 2 : 1;
        if (listening >= 0) {
            // The jobs above may have closed (or even reopened) the listener since the poll.
            if (listenFd_ == listening && (watched[1].revents & POLLIN) != 0) {
                const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    auto connection = std::make_unique<Connection>();
                    connection->fd = fd;
                    std::lock_guard<std::mutex> lock(mutex_);
                    connections_.push_back(std::move(connection));
                    changed_.notify_all();
                }
            }
        }
        for (std::size_t i = 0; i < readable.size(); ++i)
            if ((watched[next + i].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
                readFrom(*readable[i]);
    }

    // Work queued while stopping finds closed sockets and reports failure.
    closeListener();
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& connection : connections_) {
        if (!connection->closed)
            close(connection->fd);
        connection->closed = true;
    }
    while (!work_.empty()) {
        auto job = std::move(work_.front());
        work_.pop_front();
        mutex_.unlock();
        job();
        mutex_.lock();
    }
    changed_.notify_all();
}

void FakeRealtimeServer::readFrom(Connection& connection) {
    {
        // A job of this pass may have closed it already.
        std::lock_guard<std::mutex> lock(mutex_);
        if (connection.closed)
            return;
    }
    char buffer[4096];
    ssize_t n;
    do {
        n = recv(connection.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (n <= 0) {
        close(connection.fd);
        connection.closed = true;
        changed_.notify_all();
        return;
    }
    connection.inbox.append(buffer, static_cast<std::size_t>(n));
    while (connection.inbox.size() >= 4) {
        const std::size_t size = bigEndian32(connection.inbox, 0);
        if (connection.inbox.size() < 4 + size)
            break;
        connection.packets.push_back(Received{connection.inbox.substr(4, size)});
        connection.inbox.erase(0, 4 + size);
    }
    changed_.notify_all();
}

bool FakeRealtimeServer::writeAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool FakeRealtimeServer::run(std::function<bool()> work) {
    auto task = std::make_shared<std::packaged_task<bool()>>(std::move(work));
    auto result = task->get_future();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!thread_.joinable() || stopping_)
            return false;
        work_.push_back([task] { (*task)(); });
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
    return result.get();
}

template <typename Predicate>
bool FakeRealtimeServer::waitFor(std::chrono::milliseconds timeout, Predicate ready) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, ready);
}

bool FakeRealtimeServer::setListening(bool listening) {
    return run([this, listening] {
        if (!listening) {
            closeListener();
            return true;
        }
        return listenFd_ >= 0 || openListener();
    });
}

std::size_t FakeRealtimeServer::connectionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_.size();
}

bool FakeRealtimeServer::waitForConnections(std::size_t count, std::chrono::milliseconds timeout) {
    return waitFor(timeout, [&] { return connections_.size() >= count; });
}

std::vector<FakeRealtimeServer::Received> FakeRealtimeServer::received(std::size_t connection) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (connection >= connections_.size())
        return {};
    return connections_[connection]->packets;
}

bool FakeRealtimeServer::waitForPackets(std::size_t connection, std::size_t count,
                                        std::chrono::milliseconds timeout) {
    return waitFor(timeout, [&] {
        return connection < connections_.size() && connections_[connection]->packets.size() >= count;
    });
}

bool FakeRealtimeServer::sendPacket(std::size_t connection, const sf::Packet& packet) {
    const std::size_t size = packet.getDataSize();
    std::string frame;
    for (int shift = 24; shift >= 0; shift -= 8)
        frame += static_cast<char>((size >> shift) & 0xFFu);
    if (size > 0)
        frame.append(static_cast<const char*>(packet.getData()), size);
    return sendRaw(connection, frame);
}

bool FakeRealtimeServer::sendRaw(std::size_t connection, const std::string& bytes) {
    return run([this, connection, bytes] {
        int fd = -1;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (connection >= connections_.size() || connections_[connection]->closed)
                return false;
            fd = connections_[connection]->fd;
        }
        return writeAll(fd, bytes);
    });
}

bool FakeRealtimeServer::closeConnection(std::size_t connection) {
    return run([this, connection] {
        std::lock_guard<std::mutex> lock(mutex_);
        if (connection >= connections_.size() || connections_[connection]->closed)
            return false;
        // FIN now; the socket itself closes when the client's end is read as closed, so unread
        // bytes from the client do not turn the close into a reset.
        return shutdown(connections_[connection]->fd, SHUT_WR) == 0;
    });
}

bool FakeRealtimeServer::resetConnection(std::size_t connection) {
    return run([this, connection] {
        std::lock_guard<std::mutex> lock(mutex_);
        if (connection >= connections_.size() || connections_[connection]->closed)
            return false;
        Connection& target = *connections_[connection];
        const linger abortive{1, 0};
        setsockopt(target.fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        close(target.fd);
        target.closed = true;
        changed_.notify_all();
        return true;
    });
}

bool FakeRealtimeServer::setStalled(std::size_t connection, bool stalled) {
    return run([this, connection, stalled] {
        std::lock_guard<std::mutex> lock(mutex_);
        if (connection >= connections_.size())
            return false;
        connections_[connection]->stalled = stalled;
        return true;
    });
}

bool FakeRealtimeServer::peerClosed(std::size_t connection) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connection < connections_.size() && connections_[connection]->closed;
}

bool FakeRealtimeServer::waitForPeerClose(std::size_t connection, std::chrono::milliseconds timeout) {
    return waitFor(timeout,
                   [&] { return connection < connections_.size() && connections_[connection]->closed; });
}

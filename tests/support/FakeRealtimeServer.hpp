#pragma once

#include <SFML/Network/Packet.hpp>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A scripted stand-in for the realtime server: listens on 127.0.0.1 (port 34567 by default),
// accepts every connection, records each packet it receives and sends what the test tells it to.
// All socket work happens on its own thread; the calls below hand work to that thread and wait
// for it. Connections are numbered from 0 in the order they were accepted.
//
// The listening socket is a plain one with SO_REUSEADDR: SFML's listener lacks it, and without it
// listening again after the server has closed a connection fails while that connection lingers in
// TIME_WAIT.
class FakeRealtimeServer {
public:
    // One framed packet as received: the payload bytes after the 4-byte size prefix.
    struct Received {
        std::string bytes;
        sf::Packet packet() const;
    };

    explicit FakeRealtimeServer(unsigned short port = 34567);
    ~FakeRealtimeServer();
    FakeRealtimeServer(const FakeRealtimeServer&) = delete;
    FakeRealtimeServer& operator=(const FakeRealtimeServer&) = delete;

    // Binds, listens and starts the thread; false when the port cannot be bound.
    bool start();
    // Closes every socket and joins the thread. Safe to call twice.
    void stop();

    // false: stop listening, so connects are refused; true: listen again. Accepted connections stay.
    bool setListening(bool listening);

    std::size_t connectionCount() const;
    bool waitForConnections(std::size_t count, std::chrono::milliseconds timeout);

    std::vector<Received> received(std::size_t connection) const;
    bool waitForPackets(std::size_t connection, std::size_t count, std::chrono::milliseconds timeout);

    // Sends a packet framed as sf::TcpSocket::send(sf::Packet&) frames it.
    bool sendPacket(std::size_t connection, const sf::Packet& packet);
    // Sends bytes as they are, e.g. half a size prefix, to test reassembly by the receiver.
    bool sendRaw(std::size_t connection, const std::string& bytes);
    // Orderly close (FIN): the client's receive reports a disconnection.
    bool closeConnection(std::size_t connection);
    // Abortive close (RST), discarding whatever is queued either way. SFML's receive reports it as a
    // disconnection as well; the client's later sends fail.
    bool resetConnection(std::size_t connection);
    // true: stop reading from the connection, so the client's sends back up; false: read again.
    bool setStalled(std::size_t connection, bool stalled);

    // True once the client has closed its end (or the server closed it).
    bool peerClosed(std::size_t connection) const;
    bool waitForPeerClose(std::size_t connection, std::chrono::milliseconds timeout);

private:
    struct Connection {
        int fd = -1;
        bool stalled = false;
        bool closed = false;
        std::string inbox; // bytes not yet framed
        std::vector<Received> packets;
    };

    void serve();
    bool openListener();
    void closeListener();
    void readFrom(Connection& connection);
    bool writeAll(int fd, const std::string& bytes);
    // Runs work on the server thread and waits for its result.
    bool run(std::function<bool()> work);
    template <typename Predicate> bool waitFor(std::chrono::milliseconds timeout, Predicate ready);

    unsigned short port_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    bool stopping_ = false;
    std::thread thread_;

    mutable std::mutex mutex_; // guards everything below and stopping_
    std::condition_variable changed_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::deque<std::function<void()>> work_;
};

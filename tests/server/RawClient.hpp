#pragma once

// A client of the real brannoc-server speaking through the server's own codec; each read waits at
// most proc::readLimit.

#include "server/realtime/net/Wire.hpp"
#include "tests/support/Harness.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <tuple>

namespace proc {

constexpr std::chrono::seconds readLimit{5}; // enough for the sanitizer builds

inline const std::string ping = wire::Writer("ping").frame(), pong = wire::Writer("pong").frame(),
                         increment = wire::Writer("increment").frame();
inline const auto whoami = [](const std::string& user, const std::string& display) {
    return wire::Writer("whoami").str(user).str(display).frame();
};
inline const auto total = [](std::uint16_t n) { return wire::Writer("deathcount").u16(n).frame(); };
// A deathindex or userstates of these users, with their display names and counts or states.
inline std::string list(const char* name,
                        const std::vector<std::tuple<std::string, std::string, int>>& rows) {
    wire::Writer writer(name);
    writer.u16(static_cast<std::uint16_t>(rows.size()));
    for (const auto& [user, display, value] : rows)
        writer.str(user).str(display).u16(static_cast<std::uint16_t>(value));
    return writer.frame();
}

struct RawClient {
    // Connects from a local address of its choice (any of 127.0.0.0/8) to 127.0.0.1:port, with a
    // receive buffer of this size unless 0.
    explicit RawClient(const std::string& from = "127.0.0.1", std::uint16_t port = 34567,
                       int receiveBuffer = 0) {
        if (receiveBuffer)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in local{AF_INET, 0, {}, {}}, server{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        inet_pton(AF_INET, from.c_str(), &local.sin_addr);
        const timeval wait{readLimit.count(), 0};
        socklen_t size = sizeof local;
        auto* at = reinterpret_cast<sockaddr*>(&local);
        EXPECT_TRUE(!setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) && !bind(fd, at, size) &&
                    !connect(fd, reinterpret_cast<sockaddr*>(&server), size) && !getsockname(fd, at, &size))
            << from << " to port " << port;
        peer = from + ":" + std::to_string(ntohs(local.sin_port));
    }
    ~RawClient() { close(fd); }
    void send(const std::string& bytes) { ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // Reads raw bytes into text until it holds want; false when the stream ends or stalls first.
    bool readUntil(std::string& text, const std::string& want) {
        char buffer[8192];
        for (ssize_t n = 1; text.find(want) == std::string::npos;
             text.append(buffer, static_cast<std::size_t>(n)))
            if ((n = recv(fd, buffer, sizeof buffer, 0)) <= 0)
                return false;
        return true;
    }
    // The next message's data; empty once the stream ends or nothing comes in time.
    std::string next() {
        std::string data;
        char buffer[8192];
        for (ssize_t n = 1; n > 0 && frames.next(data) == wire::FrameReader::Status::NeedMore;)
            if ((n = recv(fd, buffer, sizeof buffer, 0)) > 0)
                frames.append(buffer, static_cast<std::size_t>(n));
        return data;
    }
    // Reads up to the next message named as the wanted frame, which must be it: others are passed
    // over, and deathcounts up to the wanted total. Returns how many deathcounts came.
    int expect(const std::string& wanted) {
        const auto nameOf = [](const std::string& data) {
            return data.size() < 4 ? data : data.substr(4, static_cast<unsigned char>(data[3]));
        };
        const std::string want = wanted.substr(4), name = nameOf(want);
        int totals = 0;
        for (std::string data;;) {
            data = next();
            totals += nameOf(data) == "deathcount";
            if (data.empty() || data == want || (nameOf(data) == name && name != "deathcount")) {
                EXPECT_EQ(data, want) << peer << ": " << name;
                return totals;
            }
        }
    }
    void ping() {
        send(proc::ping);
        expect(pong);
    }

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::string peer; // as the server's log names it
    wire::FrameReader frames;
};

} // namespace proc

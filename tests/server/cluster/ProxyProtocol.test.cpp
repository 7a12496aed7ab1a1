// brannoc-server behind a TCP load balancer (SQLite tally): a PROXY v2 header names the client for
// the log and the per-address cap, but only from the addresses given with --proxy-from.

#include "tests/server/cluster/Harness.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

using namespace cluster;

namespace {

// The header a balancer sends before a client's bytes: IPv4 over TCP, the client's address first.
std::string proxyHeader(const std::string& client, std::uint16_t clientPort) {
    std::string header("\r\n\r\n\0\r\nQUIT\n", 12);
    header += "\x21\x11";
    header += std::string("\x00\x0c", 2);
    unsigned a = 0, b = 0, c = 0, d = 0;
    std::sscanf(client.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
    for (unsigned byte : {a, b, c, d, 127u, 0u, 0u, 1u})
        header += static_cast<char>(byte);
    header += static_cast<char>(clientPort >> 8);
    header += static_cast<char>(clientPort & 0xff);
    header += std::string("\x87\x07", 2);
    return header;
}

TEST(ProxyProtocol, OnlyTheBalancersHeaderNamesTheClientForTheLogAndTheCap) {
    char folder[] = "/tmp/brannoc-proxy-test-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string dir = folder, log = dir + "/server.log";
    const std::uint16_t port = freePort();
    pid_t server =
        spawn({BRANNOC_BUILD_DIR "/brannoc-server", "--bind", "127.0.0.1", "--port", std::to_string(port),
               "--db", dir + "/tally.db", "--proxy-from", "127.0.0.2,127.0.0.3", "--max-per-address", "1"},
              log);
    ASSERT_TRUE(eventually([&] { return linesWith(slurp(log), "listening on") > 0; })) << slurp(log);

    // Through the balancer: the client's own address in the log, its own share of the cap.
    RawClient first(port, "127.0.0.2");
    first.send(proxyHeader("198.51.100.7", 4242) + whoami("alice", "Alice"));
    first.expect("userstates");
    EXPECT_TRUE(eventually([&] { return linesWith(slurp(log), "198.51.100.7:4242 alice: whoami") > 0; }))
        << slurp(log);
    RawClient other(port, "127.0.0.3");
    other.send(proxyHeader("203.0.113.9", 5151));
    other.expect("userstates");
    other.ping();
    RawClient again(port, "127.0.0.2");
    again.send(proxyHeader("198.51.100.7", 4343));
    EXPECT_TRUE(again.closedByServer());
    EXPECT_EQ(linesWith(slurp(log), "198.51.100.7:4343: refused: 1 connections from 198.51.100.7"), 1u)
        << slurp(log);

    // From anyone else the same header is a malformed message.
    RawClient direct(port, "127.0.0.1");
    direct.expect("userstates");
    direct.send(proxyHeader("192.0.2.1", 1111));
    EXPECT_TRUE(direct.closedByServer());
    EXPECT_TRUE(eventually([&] {
        return linesWith(slurp(log), direct.peer(), "refused: a PROXY header") == 1;
    })) << slurp(log);
    EXPECT_EQ(linesWith(slurp(log), "192.0.2.1"), 0u) << slurp(log);

    ::kill(server, SIGTERM);
    const int status = reap(server);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << slurp(log);
    EXPECT_EQ(linesWith(slurp(log), "Sanitizer"), 0u) << slurp(log);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

} // namespace

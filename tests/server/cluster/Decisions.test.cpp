// The cluster's pure decisions as tables, a row per way through each: the PROXY v2 header, the
// fields of the messages the processes publish, Redis's persistence settings, --redis's HOST:PORT.

#include "server/realtime/Options.hpp"
#include "server/realtime/net/ProxyHeader.hpp"
#include "server/realtime/store/RedisStorage.hpp"

#include <gtest/gtest.h>

namespace {

using Status = proxy::Header::Status;

TEST(ProxyHeader, ReadsWhatTheBalancerSendsAndNothingElse) {
    const std::string sig("\r\n\r\n\0\r\nQUIT\n", 12), tcp4 = sig + "\x21\x11", tcp6 = sig + "\x21\x21";
    const std::string v4 = std::string("\xc0\0\2\1\x0a\0\0\1\x1f\x90\x87\x07", 12), len12("\0\x0c", 2);
    const std::string v6 = std::string("\x20\1\x0d\xb8", 4) + std::string(11, '\0') + "\1" +
                           std::string(16, '\0') + std::string("\0\x50\0\x51", 4);
    const struct {
        std::string input;
        Status status;
        std::size_t size;
        std::string address;
        std::uint16_t port;
    } rows[] = {
        {std::string("\0\0\0\x08\0\0\0\4ping", 12), Status::Absent, 0, "", 0},
        {sig.substr(0, 6), Status::NeedMore, 0, "", 0},
        {sig + "\x11\x11" + len12 + v4, Status::Invalid, 0, "", 0},
        {sig + "\x22\x11" + len12 + v4, Status::Invalid, 0, "", 0},
        {tcp4 + len12 + v4.substr(0, 5), Status::NeedMore, 0, "", 0},
        {sig + std::string("\x20\0\0\0", 4), Status::Local, 16, "", 0},
        {sig + std::string("\x21\0\0\0", 4), Status::Local, 16, "", 0},
        {sig + "\x21\x12" + len12 + v4, Status::Invalid, 0, "", 0},
        {tcp4 + std::string("\0\4", 2) + v4.substr(0, 4), Status::Invalid, 0, "", 0},
        {tcp4 + std::string("\0\x0f", 2) + v4 + std::string("\4\0\0", 3) + "ping", Status::Proxied, 31,
         "192.0.2.1", 8080},
        {tcp6 + len12 + v4, Status::Invalid, 0, "", 0},
        {tcp6 + std::string("\0\x24", 2) + v6, Status::Proxied, 52, "2001:db8::1", 80},
        {sig + "\x21\x31" + len12 + v4, Status::Invalid, 0, "", 0},
    };
    for (const auto& row : rows) {
        const auto header = proxy::parse(row.input);
        EXPECT_EQ(std::tie(header.status, header.size, header.address, header.port),
                  std::tie(row.status, row.size, row.address, row.port))
            << testing::PrintToString(row.input);
        EXPECT_EQ(header.error.empty(), row.status != Status::Invalid) << testing::PrintToString(row.input);
    }
}

TEST(PublishedFields, SplitWhatTheScriptsJoinAndRefuseAnythingElse) {
    const std::vector<std::string> fields = {"", std::string("a\0:b", 4), "12:x"};
    EXPECT_EQ(server::splitFields(server::joinFields(fields)), fields);
    EXPECT_EQ(server::joinFields({"on", "p/1"}), "2:on3:p/1"); // as the scripts' f() writes them
    for (const char* bad : {"2ab", ":ab", "1x:a", "1234567890:a", "3:ab"})
        EXPECT_FALSE(server::splitFields(bad)) << bad;
}

TEST(DurabilityWarning, OnlyAnAppendOnlyFileFsyncedOnEveryWriteKeepsEveryAcknowledgedIncrement) {
    EXPECT_EQ(server::durabilityWarning("yes", "always"), "");
    EXPECT_NE(server::durabilityWarning("yes", "everysec"), "");
    EXPECT_NE(server::durabilityWarning("no", "always"), "");
}

TEST(RedisAddress, HostAndPortOrARefusal) {
    const struct {
        const char* text;
        bool ok;
        std::string host;
        std::uint16_t port;
    } rows[] = {{"redis.lan:6379", true, "redis.lan", 6379},
                {"[::1]:1", true, "::1", 1},
                {"localhost", false, "", 0},
                {":6379", false, "", 0},
                {"host:0", false, "", 0},
                {"host:65536", false, "", 0}};
    for (const auto& row : rows) {
        std::string host;
        std::uint16_t port = 0;
        EXPECT_EQ(server::splitHostPort(row.text, host, port), row.ok) << row.text;
        if (row.ok) {
            EXPECT_EQ(std::tie(host, port), std::tie(row.host, row.port)) << row.text;
        }
    }
}

} // namespace

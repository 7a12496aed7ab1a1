// The cluster's pure decisions as tables: the PROXY v2 header, the fields of the messages the
// processes publish, Redis's persistence settings, and --redis's HOST:PORT.

#include "server/realtime/Options.hpp"
#include "server/realtime/ProxyHeader.hpp"
#include "server/realtime/RedisStorage.hpp"

#include <gtest/gtest.h>

namespace {

using Status = proxy::Header::Status;

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values)
        out += static_cast<char>(v);
    return out;
}

const std::string signature("\r\n\r\n\0\r\nQUIT\n", 12);
const std::string v4 = bytes({192, 0, 2, 1, 10, 0, 0, 1, 0x1f, 0x90, 0x87, 0x07});
const std::string v6 = bytes({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}) +
                       std::string(16, '\0') + bytes({0, 80, 0, 81});

TEST(ProxyHeader, ReadsWhatTheBalancerSendsAndNothingElse) {
    struct Row {
        const char* what;
        std::string input;
        Status status;
        std::size_t size;
        const char* address;
        std::uint16_t port;
    };
    const Row rows[] = {
        {"a client's first frame", bytes({0, 0, 0, 8, 0, 0, 0, 4}) + "ping", Status::Absent, 0, "", 0},
        {"nothing yet", "", Status::NeedMore, 0, "", 0},
        {"half the signature", signature.substr(0, 6), Status::NeedMore, 0, "", 0},
        {"a wrong byte in the signature", signature.substr(0, 11) + "X", Status::Absent, 0, "", 0},
        {"signature without length", signature + bytes({0x21, 0x11}), Status::NeedMore, 0, "", 0},
        {"IPv4 cut short", signature + bytes({0x21, 0x11, 0, 12}) + v4.substr(0, 5), Status::NeedMore, 0, "",
         0},
        {"IPv4", signature + bytes({0x21, 0x11, 0, 12}) + v4, Status::Proxied, 28, "192.0.2.1", 8080},
        {"IPv4 then the client's bytes", signature + bytes({0x21, 0x11, 0, 12}) + v4 + "xyz", Status::Proxied,
         28, "192.0.2.1", 8080},
        {"IPv4 with a TLV after", signature + bytes({0x21, 0x11, 0, 15}) + v4 + bytes({4, 0, 0}),
         Status::Proxied, 31, "192.0.2.1", 8080},
        {"IPv6", signature + bytes({0x21, 0x21, 0, 36}) + v6, Status::Proxied, 52, "2001:db8::1", 80},
        {"health check (LOCAL)", signature + bytes({0x20, 0x00, 0, 0}), Status::Local, 16, "", 0},
        {"unspecified family", signature + bytes({0x21, 0x00, 0, 0}), Status::Local, 16, "", 0},
        {"version 1 command byte", signature + bytes({0x11, 0x11, 0, 12}) + v4, Status::Invalid, 0, "", 0},
        {"unknown command", signature + bytes({0x22, 0x11, 0, 12}) + v4, Status::Invalid, 0, "", 0},
        {"UDP", signature + bytes({0x21, 0x12, 0, 12}) + v4, Status::Invalid, 0, "", 0},
        {"IPv4 length too small", signature + bytes({0x21, 0x11, 0, 4}) + v4.substr(0, 4), Status::Invalid, 0,
         "", 0},
        {"IPv6 length too small", signature + bytes({0x21, 0x21, 0, 12}) + v4, Status::Invalid, 0, "", 0},
        {"unix sockets", signature + bytes({0x21, 0x31, 0, 12}) + v4, Status::Invalid, 0, "", 0},
    };
    for (const auto& row : rows) {
        const auto header = proxy::parse(row.input);
        EXPECT_EQ(header.status, row.status) << row.what;
        if (row.status == Status::Proxied || row.status == Status::Local) {
            EXPECT_EQ(header.size, row.size) << row.what;
        }
        if (row.status == Status::Proxied) {
            EXPECT_EQ(header.address, row.address) << row.what;
            EXPECT_EQ(header.port, row.port) << row.what;
        }
        if (row.status == Status::Invalid) {
            EXPECT_FALSE(header.error.empty()) << row.what;
        }
    }
}

TEST(PublishedFields, SplitWhatJoinWroteAndRefuseAnythingElse) {
    const std::vector<std::vector<std::string>> roundTrips = {
        {}, {""}, {"tally", "7", "65535", "1700000000000"}, {std::string("a\0:b", 4), "12:x", "\xff\xfe"}};
    for (const auto& fields : roundTrips)
        EXPECT_EQ(server::splitFields(server::joinFields(fields)), fields) << server::joinFields(fields);
    EXPECT_EQ(server::joinFields({"on", "p/1"}), "2:on3:p/1");
    for (const char* bad : {"3:ab", ":ab", "x:ab", "2ab", "-1:a", "1:a2", "9999999999:a", "01"})
        EXPECT_FALSE(server::splitFields(bad)) << bad;
}

TEST(DurabilityWarning, OnlyAnAppendOnlyFileFsyncedOnEveryWriteKeepsEveryAcknowledgedIncrement) {
    struct Row {
        const char *appendonly, *appendfsync;
        bool warns;
    };
    for (const Row& row : {Row{"yes", "always", false}, Row{"yes", "everysec", true}, Row{"yes", "no", true},
                           Row{"no", "always", true}, Row{"", "", true}})
        EXPECT_EQ(!server::durabilityWarning(row.appendonly, row.appendfsync).empty(), row.warns)
            << row.appendonly << " " << row.appendfsync;
}

TEST(RedisAddress, HostAndPortOrARefusal) {
    struct Row {
        const char* text;
        bool ok;
        const char* host;
        std::uint16_t port;
    };
    for (const Row& row :
         {Row{"127.0.0.1:6379", true, "127.0.0.1", 6379}, Row{"redis.lan:1", true, "redis.lan", 1},
          Row{"[::1]:6380", true, "::1", 6380}, Row{"localhost", false, "", 0}, Row{":6379", false, "", 0},
          Row{"host:0", false, "", 0}, Row{"host:65536", false, "", 0}, Row{"host:63a", false, "", 0}}) {
        std::string host;
        std::uint16_t port = 0;
        EXPECT_EQ(server::splitHostPort(row.text, host, port), row.ok) << row.text;
        if (row.ok) {
            EXPECT_EQ(host, row.host) << row.text;
            EXPECT_EQ(port, row.port) << row.text;
        }
    }
}

} // namespace

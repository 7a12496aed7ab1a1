#include "server/realtime/Wire.hpp"
#include "server/realtime/Options.hpp"
#include "server/realtime/Pacing.hpp"
#include "tests/support/WireVectors.hpp"

#include <gtest/gtest.h>

using namespace std::string_literals;
using namespace std::chrono_literals;

TEST(Wire, WritesAndReadsEveryMessageAsTheSharedVectorsSay) {
    for (const auto& vector : wirevectors::all()) {
        wire::Writer writer(vector.fields[0].text);
        for (std::size_t i = 1; i < vector.fields.size(); ++i)
            vector.fields[i].isText ? writer.str(vector.fields[i].text) : writer.u16(vector.fields[i].number);
        EXPECT_EQ(writer.frame(), vector.frame) << vector.what;

        // Fed one byte at a time, the stream gives the frame only once it is whole.
        wire::FrameReader frames;
        std::string data;
        for (std::size_t i = 0; i < vector.frame.size(); ++i) {
            ASSERT_EQ(frames.next(data), wire::FrameReader::Status::NeedMore) << vector.what;
            frames.append(&vector.frame[i], 1);
        }
        ASSERT_EQ(frames.next(data), wire::FrameReader::Status::Frame) << vector.what;
        wire::Reader reader(data);
        for (const auto& field : vector.fields) {
            std::string text;
            std::uint16_t number = 0;
            if (field.isText) {
                ASSERT_TRUE(reader.str(text)) << vector.what;
                EXPECT_EQ(text, field.text) << vector.what;
            } else {
                ASSERT_TRUE(reader.u16(number)) << vector.what;
                EXPECT_EQ(number, field.number) << vector.what;
            }
        }
        EXPECT_TRUE(reader.atEnd()) << vector.what;
    }
}

TEST(Wire, RefusesAnOversizedFrameFromItsSizeAlone) {
    wire::FrameReader frames;
    std::string data;
    frames.append("\0\1\0\0"s.data(), 4); // exactly 64 KiB: the largest allowed
    EXPECT_EQ(frames.next(data), wire::FrameReader::Status::NeedMore);
    wire::FrameReader huge;
    huge.append("\xff\xff\xff\xff"s.data(), 4);
    EXPECT_EQ(huge.next(data), wire::FrameReader::Status::TooLarge);
    wire::FrameReader justOver;
    justOver.append("\0\1\0\1"s.data(), 4);
    EXPECT_EQ(justOver.next(data), wire::FrameReader::Status::TooLarge);
}

TEST(Wire, ParsesClientMessagesAndNamesWhatIsWrong) {
    const std::string name64(64, 'n');
    struct Row {
        std::string data;
        bool ok;
        std::string error;
    };
    auto w = [](std::initializer_list<std::string> fields) {
        auto it = fields.begin();
        wire::Writer writer(*it++);
        for (; it != fields.end(); ++it)
            writer.str(*it);
        return writer.frame().substr(4);
    };
    const Row rows[] = {
        {w({"ping"}), true, ""},
        {w({"increment"}), true, ""},
        {w({"whoami", name64, name64}), true, ""},
        {w({"whoami", name64 + "x", "d"}), false, "whoami name over 64 bytes"},
        {w({"whoami", "u", name64 + "x"}), false, "whoami name over 64 bytes"},
        {w({"whoami", "u"}), false, "malformed whoami"},
        {w({"ping", "extra"}), false, "malformed ping (extra bytes)"},
        {w({"Ping"}), false, "unknown message \"Ping\""},
        {w({"evil\x1b[2J"}), false, "unknown message \"evil?[2J\""},
        {"\0\0\0\x09inc"s, false, "malformed message"},
        {"", false, "malformed message"},
    };
    for (const auto& row : rows) {
        wire::ClientMessage message;
        std::string error;
        EXPECT_EQ(wire::parseClientMessage(row.data, message, error), row.ok) << row.error;
        EXPECT_EQ(error, row.error);
    }
    wire::ClientMessage message;
    std::string error;
    ASSERT_TRUE(wire::parseClientMessage(w({"whoami", "alice", "Alice A"}), message, error));
    EXPECT_EQ(message.kind, wire::ClientMessage::Kind::Whoami);
    EXPECT_EQ(message.user, "alice");
    EXPECT_EQ(message.display, "Alice A");
}

TEST(Wire, LogTextCarriesNoControlCharacters) {
    const std::pair<std::string, std::string> rows[] = {
        {"plain name", "plain name"},
        {"\x1b[31mred\x07\n\r\x7f", "?[31mred????"},
        {"\xc2\x9b"
         "2J \xc2\x80",
         "?2J ?"},                                        // UTF-8 encoded C1 controls
        {"caf\xc3\xa9 \xc2\xa0", "caf\xc3\xa9 \xc2\xa0"}, // other UTF-8 passes
        {"\xc2", "\xc2"},
    };
    for (const auto& [in, out] : rows)
        EXPECT_EQ(wire::printable(in), out);
}

TEST(Pacing, ABroadcastWaitsOnlyForTheIntervalSinceThePrevious) {
    const pacing::Clock::time_point t0{};
    const std::pair<std::chrono::milliseconds, std::chrono::milliseconds> rows[] = {
        // since the previous broadcast, then how long this one waits
        {0ms, 100ms}, {30ms, 70ms}, {99ms, 1ms}, {100ms, 0ms}, {5000ms, 0ms},
    };
    for (const auto& [since, wait] : rows)
        EXPECT_EQ(pacing::nextBroadcast(t0, t0 + since) - (t0 + since), wait) << since.count();
}

TEST(Pacing, AllowsTenIncrementsInAnyOneSecond) {
    pacing::RateLimit limit;
    const pacing::Clock::time_point t0{};
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(limit.allow(t0 + i * 10ms)) << i;
    EXPECT_FALSE(limit.allow(t0 + 500ms));
    EXPECT_FALSE(limit.allow(t0 + 999ms));
    EXPECT_TRUE(limit.allow(t0 + 1000ms)); // the first has left the window
    EXPECT_FALSE(limit.allow(t0 + 1001ms));
}

TEST(Options, ReadsFlagsAndCommandsAndRefusesWhatIsWrong) {
    struct Row {
        std::vector<std::string> args;
        bool ok;
        server::Options::Mode mode;
    };
    using M = server::Options::Mode;
    const Row rows[] = {
        {{}, true, M::Serve},
        {{"--port", "4000", "--bind", "127.0.0.1", "--max-per-address", "2"}, true, M::Serve},
        {{"--help"}, true, M::Help},
        {{"status"}, true, M::Admin},
        {{"--db", "x.db", "history"}, true, M::Admin},
        {{"history", "5"}, true, M::Admin},
        {{"set", "0"}, true, M::Admin},
        {{"set", "65535"}, true, M::Admin},
        {{"backup", "copy.db"}, true, M::Admin},
        {{"set", "65536"}, false, M::Admin},
        {{"set", "-1"}, false, M::Admin},
        {{"set", "12abc"}, false, M::Admin},
        {{"set"}, false, M::Admin},
        {{"history", "0"}, false, M::Admin},
        {{"backup"}, false, M::Admin},
        {{"undo", "now"}, false, M::Admin},
        {{"frobnicate"}, false, M::Admin},
        {{"--port", "0"}, false, M::Serve},
        {{"--port", "70000"}, false, M::Serve},
        {{"--port"}, false, M::Serve},
        {{"--max-connections", "many"}, false, M::Serve},
        {{"--colour", "red"}, false, M::Serve},
    };
    for (const auto& row : rows) {
        server::Options options;
        std::string error;
        const bool ok = server::parseOptions(row.args, options, error);
        EXPECT_EQ(ok, row.ok) << testing::PrintToString(row.args) << ": " << error;
        EXPECT_EQ(ok, error.empty());
        if (ok) {
            EXPECT_EQ(options.mode, row.mode) << testing::PrintToString(row.args);
        }
    }
    EXPECT_EQ(server::defaultDatabase("/state", "/home/u"), "/state/brannoc/tally.db");
    EXPECT_EQ(server::defaultDatabase(nullptr, "/home/u"), "/home/u/.local/state/brannoc/tally.db");
    EXPECT_EQ(server::defaultDatabase("relative", "/home/u"), "/home/u/.local/state/brannoc/tally.db");
    EXPECT_EQ(server::defaultAdminSocket("/home/u/.local/state/brannoc/tally.db"),
              "/home/u/.local/state/brannoc/admin.sock");
}

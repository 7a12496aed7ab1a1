#include "server/realtime/Wire.hpp"
#include "server/realtime/Options.hpp"
#include "server/realtime/Pacing.hpp"
#include "tests/support/WireVectors.hpp"

#include <gtest/gtest.h>

#include <iterator>
#include <optional>
#include <sstream>

using namespace std::chrono_literals;

namespace {

TEST(Wire, WritesAndReadsEveryMessageAsTheSharedVectorsSay) {
    for (const auto& vector : wirevectors::all()) {
        wire::Writer writer(vector.fields[0].text);
        for (auto field = vector.fields.begin() + 1; field != vector.fields.end(); ++field)
            field->isText ? writer.str(field->text) : writer.u16(field->number);
        EXPECT_EQ(writer.frame(), vector.frame) << vector.what;
        // Fed a byte at a time, the stream gives the frame once it is whole.
        wire::FrameReader frames;
        std::string data, text;
        for (const char byte : vector.frame) {
            ASSERT_EQ(frames.next(data), wire::FrameReader::Status::NeedMore) << vector.what;
            frames.append(&byte, 1);
        }
        ASSERT_EQ(frames.next(data), wire::FrameReader::Status::Frame) << vector.what;
        wire::Reader reader(data);
        std::uint16_t number = 0;
        for (const auto& field : vector.fields)
            EXPECT_TRUE(field.isText ? reader.str(text) && text == field.text
                                     : reader.u16(number) && number == field.number)
                << vector.what << ": " << field.text << field.number;
        EXPECT_TRUE(reader.atEnd()) << vector.what;
    }
}

TEST(Pacing, BroadcastsIncrementsAndDropsFollowTheClock) {
    const pacing::Clock::time_point t0{};
    // Since the previous broadcast, and how long the next one waits.
    const std::pair<std::chrono::milliseconds, std::chrono::milliseconds> waits[] = {
        {0ms, 100ms}, {30ms, 70ms}, {99ms, 1ms}, {100ms, 0ms}, {5000ms, 0ms}};
    for (const auto& [since, wait] : waits)
        EXPECT_EQ(pacing::nextBroadcast(t0, t0 + since) - (t0 + since), wait) << since.count();
    pacing::RateLimit limit; // ten increments in any one second
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(limit.allow(t0 + i * 1ms)) << i;
    EXPECT_FALSE(limit.allow(t0 + 999ms));
    EXPECT_TRUE(limit.allow(t0 + 1000ms)); // the first has left the window
    EXPECT_FALSE(limit.allow(t0 + 1000ms));
    // Since the last read, unread bytes, whether a write is under way and for how long, the verdict.
    const std::tuple<std::chrono::milliseconds, std::size_t, bool, std::chrono::milliseconds, const char*>
        drops[] = {{5999ms, 0, false, 0ms, ""},
                   {6000ms, 0, false, 0ms, "dropped: silent for 6 s"},
                   {60000ms, 3, false, 0ms, ""},
                   {10ms, 0, true, 9999ms, ""},
                   {10ms, 0, true, 10000ms, "dropped: not reading for 10 s"},
                   {10ms, 0, false, 60000ms, ""}};
    for (const auto& [sinceRead, unread, writing, writingFor, verdict] : drops) {
        const char* why = pacing::dropReason(
            sinceRead, [n = unread] { return n; }, writing, writingFor);
        EXPECT_STREQ(why ? why : "", verdict)
            << sinceRead.count() << " " << unread << " " << writingFor.count();
    }
}

TEST(Options, ReadsFlagsAndCommandsAndRefusesWhatIsWrong) {
    using M = server::Options::Mode;
    // The mode the arguments ask for; none, with a reason, when they are refused.
    const auto read = [](const char* line) {
        std::istringstream words(line);
        server::Options options;
        std::string error;
        const bool ok = server::parseOptions({std::istream_iterator<std::string>(words), {}}, options, error);
        EXPECT_EQ(ok, error.empty()) << line;
        return ok ? std::optional<M>(options.mode) : std::nullopt;
    };
    for (const char* line : {"", "--port 4000 --bind 127.0.0.1 --max-per-address 2"})
        EXPECT_EQ(read(line), M::Serve) << line;
    EXPECT_EQ(read("--help"), M::Help);
    for (const char* line :
         {"status", "--db x.db history", "history 5", "set 0", "set 65535", "backup copy.db"})
        EXPECT_EQ(read(line), M::Admin) << line;
    for (const char* line :
         {"set 65536", "set -1", "set 12abc", "set", "history 0", "backup", "undo now", "frobnicate",
          "--port 0", "--port 70000", "--port", "--max-connections many", "--colour red"})
        EXPECT_EQ(read(line), std::nullopt) << line;
    EXPECT_EQ(server::defaultDatabase("/state", "/home/u"), "/state/brannoc/tally.db");
    EXPECT_EQ(server::defaultDatabase(nullptr, "/home/u"), "/home/u/.local/state/brannoc/tally.db");
    EXPECT_EQ(server::defaultDatabase("relative", "/home/u"), "/home/u/.local/state/brannoc/tally.db");
    EXPECT_EQ(server::defaultAdminSocket("/a/b/tally.db"), "/a/b/admin.sock");
}

} // namespace

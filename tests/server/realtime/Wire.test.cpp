#include "server/realtime/Wire.hpp"
#include "server/realtime/Overlay.hpp"
#include "server/realtime/Pacing.hpp"
#include "tests/support/WireVectors.hpp"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// Reading the server's messages is the raw client's part in the process test, on this same codec.
TEST(Wire, WritesEveryMessageAndReadsTheClientsAsTheSharedVectorsSay) {
    for (const auto& vector : wirevectors::all()) {
        wire::Writer writer(vector.fields[0].text);
        for (auto field = vector.fields.begin() + 1; field != vector.fields.end(); ++field)
            field->isText ? writer.str(field->text) : writer.u16(field->number);
        EXPECT_EQ(writer.frame(), vector.frame) << vector.what;
        wire::ClientMessage message;
        std::string error;
        EXPECT_TRUE(vector.fromServer || wire::parseClientMessage(vector.frame.substr(4), message, error))
            << vector.what << ": " << error;
    }
}

TEST(Pacing, IncrementsAndDropsFollowTheClock) {
    const pacing::Clock::time_point t0{};
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
                   {10ms, 0, true, 10000ms, "dropped: not reading for 10 s"},
                   {10ms, 0, false, 60000ms, ""}};
    for (const auto& [sinceRead, unread, writing, writingFor, verdict] : drops) {
        const char* why = pacing::dropReason(
            sinceRead, [n = unread] { return n; }, writing, writingFor);
        EXPECT_STREQ(why ? why : "", verdict)
            << sinceRead.count() << " " << unread << " " << writingFor.count();
    }
}

} // namespace

TEST(Overlay, NamesBecomeJsonThePageCanAlwaysParse) {
    const std::string bad = "\"\xef\xbf\xbd\"";
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"a\"b\\c", R"("a\"b\\c")"},
        {std::string("\n\x01\x7f\0", 4), R"("\u000a\u0001\u007f\u0000")"},
        {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""}, // 2, 3, 4 bytes
        {"\x80", bad},                                                // a lone continuation
        {"\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\""},                 // overlong
        {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""}, // a surrogate
        {"\xe2\x82", "\"\xef\xbf\xbd\xef\xbf\xbd\""},                 // cut short
    };
    for (const auto& [name, json] : rows)
        EXPECT_EQ(overlay::quoted(name), json) << wire::printable(name);
}

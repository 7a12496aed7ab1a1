#include "server/realtime/net/Wire.hpp"
#include "server/common/PeerAddress.hpp"
#include "server/common/RefusalSummary.hpp"
#include "server/realtime/net/Pacing.hpp"
#include "server/realtime/overlay/Overlay.hpp"
#include "tests/support/WireVectors.hpp"
#include "text/SafeText.hpp"

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

TEST(Peers, AddressesAreMatchedAsIPv4AndCountedPerMachine) {
    // Address as the socket saw it, as the servers report and match it, the key it is counted under.
    const std::tuple<const char*, const char*, const char*> rows[] = {
        {"192.0.2.7", "192.0.2.7", "192.0.2.7"},
        {"::ffff:192.0.2.7", "192.0.2.7", "192.0.2.7"}, // an IPv4 peer of a socket bound to ::
        {"2001:db8:1:2:aaaa::1", "2001:db8:1:2:aaaa::1", "2001:db8:1:2::/64"},
        {"2001:db8:1:2:ffff:ffff:ffff:ffff", "2001:db8:1:2:ffff:ffff:ffff:ffff", "2001:db8:1:2::/64"},
        {"::1", "::1", "::/64"},
        {"not an address", "not an address", "not an address"},
    };
    for (const auto& [seen, reported, key] : rows) {
        EXPECT_EQ(peer::canonical(std::string(seen)), reported) << seen;
        EXPECT_EQ(peer::countKey(std::string(seen)), key) << seen;
    }
    EXPECT_EQ(peer::label("2001:db8::1", 80), "[2001:db8::1]:80");
}

TEST(Peers, AFloodOfRefusalsIsOneLineAndOneSummaryASecond) {
    const RefusalSummary::Clock::time_point t0{};
    RefusalSummary refusals;
    EXPECT_TRUE(refusals.note(t0));
    int logged = 0;
    for (int i = 1; i <= 9990; ++i)
        logged += refusals.note(t0 + i * 100us);
    EXPECT_EQ(logged, 0);
    EXPECT_EQ(refusals.due(t0 + 999ms), 0u); // the second is not over
    EXPECT_EQ(refusals.due(t0 + 1000ms), 9990u);
    EXPECT_TRUE(refusals.idle());
    EXPECT_TRUE(refusals.note(t0 + 1001ms));  // a new second: logged whole again
    EXPECT_EQ(refusals.due(t0 + 2001ms), 0u); // nothing unlogged, nothing to say
    EXPECT_EQ(RefusalSummary::line(9990, "increments"), "dropped 9,990 increments in the last second");
    EXPECT_EQ(RefusalSummary::line(1234567, "x"), "dropped 1,234,567 x in the last second");
    EXPECT_EQ(RefusalSummary::line(12, "x"), "dropped 12 x in the last second");
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
        EXPECT_EQ(overlay::quoted(name), json) << SafeText::printable(name);
}

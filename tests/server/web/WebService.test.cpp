// The web service's pure parts: the users file's reader, the command line, the request path and who
// gets a connection. Requests are answered by the real program in WebProcess.test.cpp.

#include "server/web/WebService.hpp"
#include "server/web/Admission.hpp"
#include "server/web/ServiceOptions.hpp"
#include "server/web/Users.hpp"

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>

namespace {

TEST(WebUsers, RefusesUnsafeOrMalformedLinesNamingThem) {
    const std::string ok = "t\t7\t0\tbob\tBob\tB\t1\tg\t\n";
    // The file's text, and the start of the error naming its line.
    const std::pair<std::string, const char*> rows[] = {
        {ok + "u\t7\t0\tbob\t\"Bob\tB\t1\tg\t\n", "line 2: the display holds a double quote"},
        {"# t\t7\n\nt\t7\t0\tbob\tBob\t{B\t1\tg\t\n", "line 3: the real name holds a brace"},
        {"t\t7\t0\tb\x1b[2Job\tBob\tB\t1\tg\t\n", "line 1: the user holds a control character"},
        {"t\t7\t0\tbob\tBob\tB\t1\n", "line 1: expected 9 tab-separated fields"},
        {"t\t7\t\tbob\tBob\tB\t1\tg\t\n", "line 1: the rank is not an integer"},
        {"t\t4x\t0\tbob\tBob\tB\t1\tg\t\n", "line 1: the id is not an integer: 4x"},
        {"t\t7\t0\tbob\tBob\tB\t2147483648\tg\t\n", "line 1: the sex is not an integer"},
        {ok + "u\t8\t0\tu\tU\tU\t1\t\n" + ok, "line 3: the token is already used on line 1"},
        {"\t7\t0\tbob\tBob\tB\t1\tg\t\n", "line 1: the token is empty"},
        {"a&b\t7\t0\tbob\tBob\tB\t1\tg\t\n", "line 1: the token holds"}};
    for (const auto& [text, error] : rows)
        EXPECT_EQ(parseUsers(text, "/srv").error.find(error), 0u) << error;
    EXPECT_TRUE(parseUsers("t\t2147483647\t-2147483648\tu\td\tr\t0\tg\t\n", "").users) << "32-bit extremes";
}

TEST(WebOptions, FlagsDefaultsAndRefusals) {
    const auto read = [](const char* line, const OptionDefaults& defaults = {"/cfg", "/home/ann", "/opt/b"}) {
        std::istringstream words(line);
        return readServiceOptions({std::istream_iterator<std::string>(words), {}}, defaults);
    };
    const ServiceOptions all = read("--port 8080 --bind=127.0.0.1").options;
    EXPECT_EQ(std::tie(all.port, all.bind, all.usersFile),
              std::make_tuple(8080, "127.0.0.1", "/cfg/brannoc/users"));
    EXPECT_EQ(read("", {"relative", "/h", ""}).options.usersFile, "/h/.config/brannoc/users");
    const ServiceOptions caps = read("--max-connections=1000000 --max-per-address 1").options;
    EXPECT_EQ(std::tie(caps.maxConnections, caps.maxPerAddress, all.maxConnections, all.maxPerAddress),
              std::make_tuple(1000000, 1, 10000, 64));
    EXPECT_EQ(read("--port 1 --help").action, OptionsRead::Action::Help);
    for (const char* line : {"--port 0", "--port 65536", "--port", "--users=", "-v", "--max-connections 0",
                             "--max-per-address 1000001", "--max-connections 5x"})
        EXPECT_EQ(read(line).action, OptionsRead::Action::Refuse) << line;
    EXPECT_EQ(read("", {}).action, OptionsRead::Action::Refuse) << "no users file";
}

TEST(WebRequests, PathsAsTheHandlerMatchesThem) {
    // clang-format off
    const std::pair<std::string, std::string> rows[] = {
        {"/./php/endpoints/stest.php?x=1", "/./php/endpoints/stest.php"}, {"./img/avatars/%34%32", "./img/avatars/42"},
        {"/a%2fb+c", "/a/b+c"}, {"/100%", "/100%"}, {"/%4", "/%4"}, {"/%zz%41", "/%zzA"}, {"/%00", {"/\0", 2}}};
    // clang-format on
    for (const auto& [target, path] : rows)
        EXPECT_EQ(requestPath(target), path) << target;
}

TEST(WebConnections, AtTheTotalCapAWaitingConnectionMakesRoom) {
    // Open in all, from the new one's address, whether any waits for a request; caps of 10 and 3.
    const std::tuple<std::size_t, std::size_t, bool, Admission> rows[] = {
        {0, 0, false, Admission::Admit},
        {9, 2, true, Admission::Admit},
        {9, 3, true, Admission::RefuseFromAddress},
        {10, 3, true, Admission::RefuseFromAddress},
        {10, 2, true, Admission::EvictWaiting},
        {10, 0, false, Admission::RefuseFull}};
    for (const auto& [open, fromAddress, anyWaiting, outcome] : rows)
        EXPECT_EQ(admit(open, fromAddress, anyWaiting, 10, 3), outcome) << open << " " << fromAddress;
}

} // namespace

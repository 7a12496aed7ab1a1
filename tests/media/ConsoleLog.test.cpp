#include "media/ConsoleLog.hpp"

#include <gtest/gtest.h>

#include <thread>

TEST(ConsoleLog, ComposesLinesInTheStreamsDefaultFormatAndNeverMixesThoseOfTwoThreads) {
    testing::internal::CaptureStdout();
    ConsoleLog::line("view size: ", 640.0f, " x ", 400.0f, ' ', 0.5f, ' ', 1234567.0f, ' ', -3, " 'it's'");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "view size: 640 x 400 0.5 1.23457e+06 -3 'it's'\n");
    testing::internal::CaptureStdout();
    const auto writer = [](const char* who) {
        for (int i = 0; i < 3000; ++i)
            ConsoleLog::line(who, " line ", "of ", "several ", "pieces");
    };
    std::thread packetSide(writer, "packet");
    writer("main");
    packetSide.join();
    std::istringstream captured(testing::internal::GetCapturedStdout());
    int lines = 0;
    for (std::string text; std::getline(captured, text); ++lines)
        ASSERT_TRUE(text == "packet line of several pieces" || text == "main line of several pieces") << text;
    EXPECT_EQ(lines, 6000);
}

TEST(ConsoleLog, QuotesServerTextWithoutControlCharacters) {
    // clang-format off
    const std::pair<std::string, std::string> rows[] = {
        {"Bren \x1b[2J\x1b]0;owned\x07" "Ash", "Bren ?[2J?]0;owned?Ash"}, {std::string("a\0b\tc\nd\re\x1f\x7f", 11), "a?b?c?d?e??"},
        {"\xc2\x80-\xc2\x9b-\xc2\x9f", "?-?-?"}, // C1 controls in UTF-8; other UTF-8 and a cut sequence pass
        {"\xc2\xa0\xc3\xa9\xe2\x82\xac\xf0\x9f\x92\x80\xc2", "\xc2\xa0\xc3\xa9\xe2\x82\xac\xf0\x9f\x92\x80\xc2"}};
    // clang-format on
    for (const auto& [text, shown] : rows)
        EXPECT_EQ(ConsoleLog::printable(text), shown);
}

#include "text/SafeText.hpp"

#include <gtest/gtest.h>

#include <string>

TEST(SafeText, ControlsBecomeQuestionMarksAndOtherBytesPass) {
    using namespace std::string_literals;
    struct Row {
        std::string text, shown;
    };
    const Row rows[] = {
        {"plain name", "plain name"},
        {"a\0b\tc\nd\re\x1b[1m\x1f\x7f"s, "a?b?c?d?e?[1m??"},
        {"\xc2\x80-\xc2\x9b[2J-\xc2\x9f", "?-?[2J-?"}, // C1 controls in UTF-8, a terminal's CSI among them
        {"\xc2\xa0\xc3\xa9\xe2\x82\xac\xf0\x9f\x92\x80", "\xc2\xa0\xc3\xa9\xe2\x82\xac\xf0\x9f\x92\x80"},
        {"cut \xc2", "cut \xc2"},   // a sequence cut at the end passes
        {"\x9b lone", "\x9b lone"}, // a lone continuation byte is not UTF-8 C1: it passes
        {"\xc2\xc2\x9b", "\xc2?"},  // a C2 before a C1 passes, the C1 does not
        {"", ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(SafeText::printable(row.text), row.shown) << row.text;
        EXPECT_EQ(SafeText::hasControl(row.text), row.text != row.shown) << row.text;
    }
}

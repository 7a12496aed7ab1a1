#include "web/LoginReply.hpp"

#include <gtest/gtest.h>

TEST(LoginReply, SplitsOnlyOutsideQuotesAndBraces) {
    // Braces nest inside quotes, a stray closing brace is text, an unbalanced quote or brace swallows
    // the rest, no empty piece follows the last comma.
    // clang-format off
    const std::pair<std::string, std::string> rows[] = {
        {"a,\"b,c\",d", "a|\"b,c\"|d|"}, {"x{a,{b,c}},y", "x{a,{b,c}}|y|"}, {"\"{\",a,b", "\"{\",a,b|"}, {"}a,b", "}a|b|"},
        {"a,{b,c,", "a|{b,c,|"}, {"a,\"b,c", "a|\"b,c|"}, {"a,b,,c,", "a|b||c|"}, {"", ""}};
    // clang-format on
    for (const auto& [text, pieces] : rows) {
        std::string joined;
        for (const std::string& piece : splitTopLevel(text, ","))
            joined += piece + "|";
        EXPECT_EQ(joined, pieces) << text;
    }
}

TEST(LoginReply, ReadsIntegersLikeTheStandardConversion) {
    // clang-format off
    const std::pair<const char*, std::optional<std::int32_t>> rows[] = {
        {"\t\v\f\r\n 7", 7}, {"+3", 3}, {"12abc", 12}, {"0x1F", 0}, {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1}, {"0000000000042", 42}, {"", {}}, {"- 1", {}}, {"+-1", {}},
        {"2147483648", {}}, {"-2147483649", {}}, {"99999999999999999999", {}}};
    // clang-format on
    for (const auto& [text, value] : rows)
        EXPECT_EQ(readLoginInteger(text), value) << '"' << text << '"';
}

TEST(LoginReply, ReadsTheExactKeysOfTwoLinesOrMoreAndALaterLineWins) {
    auto reply =
        readLoginReply("id=  42\r\nrank=5\nuser=bob\r\ndisp=a=b\nsex=1\ngrps=a,b,,c,\nno equals here\nID=5\n"
                       "id =6\n id=7\nrank=x\nreal=\"x\ny\"\n");
    ASSERT_TRUE(reply); // integers pass over a carriage return, texts keep it; a failed integer keeps
    EXPECT_TRUE(reply->id == 42 && reply->rank == 5 && reply->sex == 1); // the earlier value
    EXPECT_TRUE(reply->userName == "bob\r" && reply->displayName == "a=b" && reply->realName == "\"x\ny\"");
    EXPECT_EQ(reply->groups, (std::vector<std::string>{"a", "b", "", "c"}));
    reply = readLoginReply("grps=a\ngrps=\nuser=x\nuser=\nid=abc\n" + std::string("disp=a\0b", 8));
    EXPECT_TRUE(reply && reply->groups->empty() && reply->userName == "" && !reply->id &&
                reply->displayName == std::string("a\0b", 3));
    for (const char* body : {"", "id=7\n", "\"id=7\nuser=bob\n"})
        EXPECT_FALSE(readLoginReply(body)) << body;
    reply = readLoginReply("id=1\ndisp=\"Bob\nuser=bob\nrank=4\n"); // an unbalanced quote hides the rest
    EXPECT_TRUE(reply && reply->displayName == "\"Bob\nuser=bob\nrank=4\n" && !reply->userName &&
                !reply->rank);
}

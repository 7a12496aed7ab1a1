#include "web/LoginReply.hpp"

#include <gtest/gtest.h>

#include <iterator>
#include <optional>
#include <string>
#include <vector>

using Pieces = std::vector<std::string>;

TEST(SplitTopLevel, CutsOnlyOutsideQuotesAndBraces) {
    // A brace inside quotes still nests, a closing brace at depth 0 changes nothing, an unbalanced
    // quote or brace swallows the rest, and no empty piece follows the last delimiter.
    const struct {
        std::string text, delimiter;
        Pieces pieces;
    } rows[] = {{"a,\"b,c\",d", ",", {"a", "\"b,c\"", "d"}},
                {"x{a,{b,c}},y", ",", {"x{a,{b,c}}", "y"}},
                {"\"{\",a,b", ",", {"\"{\",a,b"}},
                {"}a,b", ",", {"}a", "b"}},
                {"a\r\nb\r\n", "\r\n", {"a", "b"}},
                {"a\n\"b\nc\nd", "\n", {"a", "\"b\nc\nd"}},
                {"a\n{b\nc\n", "\n", {"a", "{b\nc\n"}},
                {"\"a\nb\"\nc", "\n", {"\"a\nb\"", "c"}},
                {"", ",", {}},
                {",,", ",", {"", ""}},
                {"a,b,,c,", ",", {"a", "b", "", "c"}},
                {"abc", "", {"abc"}}};
    for (const auto& row : rows)
        EXPECT_EQ(splitTopLevel(row.text, row.delimiter), row.pieces) << row.text;
}

TEST(ReadLoginInteger, ReadsLikeTheStandardConversion) {
    const char* const texts[] = {"\t\v\f\r\n 7", "-3",          "+3",
                                 "12abc",        "7\r",         "0x1F",
                                 "2147483647",   "-2147483648", "000000000000000000000042"};
    const std::int32_t values[] = {7, -3, 3, 12, 7, 0, 2147483647, -2147483647 - 1, 42};
    for (std::size_t i = 0; i < std::size(texts); ++i)
        EXPECT_EQ(readLoginInteger(texts[i]), values[i]) << '"' << texts[i] << '"';
    for (const char* text :
         {"", " ", "-", "+-1", "- 1", "x12", "2147483648", "-2147483649", "99999999999999999999"})
        EXPECT_EQ(readLoginInteger(text), std::nullopt) << '"' << text << '"';
}

TEST(ReadLoginReply, ReadsTheExactKeysAndPassesOverTheRest) {
    auto reply = readLoginReply("id=  42\r\nrank=5\nuser=bob\r\ndisp=a=b\nreal=Robert B\nsex=1\n"
                                "grps=a,b,,c,\nmood=calm\nno equals here\nID=5\nid =6\n id=7\nrank=x\n");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->id, 42); // integers pass over a carriage return, texts keep it
    EXPECT_EQ(reply->rank, 5) << "a failed integer keeps the earlier value";
    EXPECT_EQ(reply->userName, "bob\r");
    EXPECT_EQ(reply->displayName, "a=b");
    EXPECT_EQ(reply->realName, "Robert B");
    EXPECT_EQ(reply->sex, 1);
    EXPECT_EQ(reply->groups, (Pieces{"a", "b", "", "c"}));

    // A later line replaces an earlier one; a value keeps its bytes.
    reply = readLoginReply("grps=a,b\ngrps=\nuser=first\nuser=\nid=abc\nreal=\"x\ny\"\n" +
                           std::string("disp=a\0b", 8));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->groups, Pieces{});
    EXPECT_EQ(reply->userName, "");
    EXPECT_FALSE(reply->id);
    EXPECT_EQ(reply->realName, "\"x\ny\"");
    EXPECT_EQ(reply->displayName, std::string("a\0b", 3));
}

TEST(ReadLoginReply, NeedsTwoLinesAndAnUnbalancedQuoteHidesTheLaterKeys) {
    for (const char* body : {"", "id=7\n", "\"id=7\nuser=bob\n"})
        EXPECT_FALSE(readLoginReply(body)) << body;
    const auto empty = readLoginReply("\n\n");
    ASSERT_TRUE(empty);
    EXPECT_FALSE(empty->id || empty->rank || empty->sex || empty->groups || empty->userName ||
                 empty->displayName || empty->realName);

    const auto reply = readLoginReply("id=1\ndisp=\"Bob\nuser=bob\nrank=4\n");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->displayName, "\"Bob\nuser=bob\nrank=4\n");
    EXPECT_FALSE(reply->userName || reply->rank);
}

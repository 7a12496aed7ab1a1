#include "web/LoginReply.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Pieces = std::vector<std::string>;

TEST(SplitTopLevel, CutsOnlyOutsideQuotesAndBraces) {
    EXPECT_EQ(splitTopLevel("a,b,c", ","), (Pieces{"a", "b", "c"}));
    EXPECT_EQ(splitTopLevel("a,\"b,c\",d", ","), (Pieces{"a", "\"b,c\"", "d"}));
    EXPECT_EQ(splitTopLevel("x{a,{b,c}},y", ","), (Pieces{"x{a,{b,c}}", "y"}));
    // Quotes and braces count independently: a brace inside quotes still nests.
    EXPECT_EQ(splitTopLevel("\"{\",a,b", ","), (Pieces{"\"{\",a,b"}));
    // A closing brace at depth 0 changes nothing.
    EXPECT_EQ(splitTopLevel("}a,b", ","), (Pieces{"}a", "b"}));
    // Multi-byte delimiters are cut whole.
    EXPECT_EQ(splitTopLevel("a\r\nb\r\n", "\r\n"), (Pieces{"a", "b"}));
}

TEST(SplitTopLevel, EmptyPiecesAndEnds) {
    EXPECT_EQ(splitTopLevel("", ","), Pieces{});
    EXPECT_EQ(splitTopLevel(",", ","), (Pieces{""}));
    EXPECT_EQ(splitTopLevel(",,", ","), (Pieces{"", ""}));
    EXPECT_EQ(splitTopLevel(",a", ","), (Pieces{"", "a"}));
    EXPECT_EQ(splitTopLevel("a,b,,c,", ","), (Pieces{"a", "b", "", "c"}));
    EXPECT_EQ(splitTopLevel("abc", ","), (Pieces{"abc"}));
    EXPECT_EQ(splitTopLevel("abc", ""), (Pieces{"abc"}));
}

TEST(SplitTopLevel, UnbalancedQuoteOrBraceSwallowsTheRest) {
    EXPECT_EQ(splitTopLevel("a\n\"b\nc\nd", "\n"), (Pieces{"a", "\"b\nc\nd"}));
    EXPECT_EQ(splitTopLevel("a\n{b\nc\n", "\n"), (Pieces{"a", "{b\nc\n"}));
    // A closed quote ends the swallowing.
    EXPECT_EQ(splitTopLevel("\"a\nb\"\nc", "\n"), (Pieces{"\"a\nb\"", "c"}));
}

TEST(ReadLoginInteger, ReadsLikeTheStandardConversion) {
    EXPECT_EQ(readLoginInteger("42"), 42);
    EXPECT_EQ(readLoginInteger("  42"), 42);
    EXPECT_EQ(readLoginInteger("\t\v\f\r\n7"), 7);
    EXPECT_EQ(readLoginInteger("-3"), -3);
    EXPECT_EQ(readLoginInteger("+3"), 3);
    EXPECT_EQ(readLoginInteger("12abc"), 12);
    EXPECT_EQ(readLoginInteger("7\r"), 7);
    EXPECT_EQ(readLoginInteger("0x1F"), 0);
    EXPECT_EQ(readLoginInteger("000000000000000000000042"), 42);
    EXPECT_EQ(readLoginInteger("2147483647"), 2147483647);
    EXPECT_EQ(readLoginInteger("-2147483648"), -2147483647 - 1);
}

TEST(ReadLoginInteger, NoLeadingDigitsOrOutOfRangeReadsNothing) {
    for (const char* text : {"", " ", "abc", "-", "+", "+-1", "- 1", "x12", "\"5\""})
        EXPECT_EQ(readLoginInteger(text), std::nullopt) << '"' << text << '"';
    for (const char* text : {"2147483648", "-2147483649", "99999999999999999999999999", "4294967295"})
        EXPECT_EQ(readLoginInteger(text), std::nullopt) << text;
}

TEST(ReadLoginReply, ReadsTheKnownKeysAndPassesOverTheRest) {
    const auto reply = readLoginReply("id=42\nrank=5\nuser=bob\ndisp=Bobby\nreal=Robert B\nsex=1\n"
                                      "grps=a,b,,c,\nmood=calm\nno equals here\n");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->id, 42);
    EXPECT_EQ(reply->rank, 5);
    EXPECT_EQ(reply->userName, "bob");
    EXPECT_EQ(reply->displayName, "Bobby");
    EXPECT_EQ(reply->realName, "Robert B");
    EXPECT_EQ(reply->sex, 1);
    EXPECT_EQ(reply->groups, (Pieces{"a", "b", "", "c"}));
}

TEST(ReadLoginReply, FewerThanTwoLinesIsNoLogin) {
    for (const char* body : {"", "id=7", "id=7\n", "\"id=7\nuser=bob\n"})
        EXPECT_FALSE(readLoginReply(body)) << body;
    // Two empty lines are a login that sets nothing.
    const auto reply = readLoginReply("\n\n");
    ASSERT_TRUE(reply);
    EXPECT_FALSE(reply->id || reply->rank || reply->sex || reply->groups || reply->userName ||
                 reply->displayName || reply->realName);
}

TEST(ReadLoginReply, KeysAreExactAndValuesKeepTheirBytes) {
    auto reply = readLoginReply("ID=5\nid =6\n id=7\ndisp=a=b\nuser=\nreal=\"x\ny\"\n");
    ASSERT_TRUE(reply);
    EXPECT_FALSE(reply->id);
    EXPECT_EQ(reply->displayName, "a=b");
    EXPECT_EQ(reply->userName, "");
    EXPECT_EQ(reply->realName, "\"x\ny\"");

    reply = readLoginReply("grps=a,b\ngrps=c\nuser=first\nuser=second");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->groups, (Pieces{"c"}));
    EXPECT_EQ(reply->userName, "second");
    reply = readLoginReply("grps=\nx=y");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->groups, Pieces{});

    reply = readLoginReply(std::string("user=a\0b\nid=3", 13));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->userName, std::string("a\0b", 3));
    EXPECT_EQ(reply->id, 3);
}

TEST(ReadLoginReply, CarriageReturnsStayOnTextsButNotOnIntegers) {
    const auto reply = readLoginReply("id=  42\r\nrank=-3\r\nuser=bob\r\n");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->id, 42);
    EXPECT_EQ(reply->rank, -3);
    EXPECT_EQ(reply->userName, "bob\r");
}

TEST(ReadLoginReply, AFailedIntegerKeepsTheEarlierValueAndTheRestGoesOn) {
    const auto reply = readLoginReply("rank=9\nid=abc\nrank=99999999999\nsex=\nuser=bob\nid=12x");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->rank, 9);
    EXPECT_FALSE(reply->sex);
    EXPECT_EQ(reply->userName, "bob");
    EXPECT_EQ(reply->id, 12);
}

TEST(ReadLoginReply, AnUnbalancedQuoteHidesTheLaterKeys) {
    const auto reply = readLoginReply("id=1\ndisp=\"Bob\nuser=bob\nrank=4\n");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->id, 1);
    EXPECT_EQ(reply->displayName, "\"Bob\nuser=bob\nrank=4\n");
    EXPECT_FALSE(reply->userName);
    EXPECT_FALSE(reply->rank);
}

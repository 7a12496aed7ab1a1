#include "web/RankColour.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string rgba(const sf::Color& c) {
    return std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + "," +
           std::to_string(c.a);
}

} // namespace

TEST(ParseRankColour, ReadsThreeOrSixDigitsWithOrWithoutHash) {
    EXPECT_EQ(rgba(parseRankColour("#1E90FF")), "30,144,255,255");
    EXPECT_EQ(rgba(parseRankColour("1E90FF")), "30,144,255,255");
    EXPECT_EQ(rgba(parseRankColour("1e90ff")), "30,144,255,255");
    EXPECT_EQ(rgba(parseRankColour("F0A")), "255,0,170,255");
    EXPECT_EQ(rgba(parseRankColour("#F0A")), "255,0,170,255");
    // Digits past the sixth are ignored; alpha stays opaque.
    EXPECT_EQ(rgba(parseRankColour("#FF000080")), "255,0,0,255");
    // The short last piece is read as it stands, not doubled.
    EXPECT_EQ(rgba(parseRankColour("ABCDE")), "171,205,14,255");
    // Each piece reads only its leading hexadecimal digits.
    EXPECT_EQ(rgba(parseRankColour("1Z00FF")), "1,0,255,255");
    EXPECT_EQ(rgba(parseRankColour("1E90FF\r\n")), "30,144,255,255");
}

TEST(ParseRankColour, EmptyReplyIsA00) {
    EXPECT_EQ(rgba(parseRankColour("")), "170,0,0,255");
    EXPECT_EQ(rgba(parseRankColour("#")), "170,0,0,255");
}

TEST(ParseRankColour, ChannelsWithoutDigitsAreZero) {
    EXPECT_EQ(rgba(parseRankColour("F")), "255,0,0,255");
    EXPECT_EQ(rgba(parseRankColour("FA")), "255,170,0,255");
    EXPECT_EQ(rgba(parseRankColour("ABCD")), "171,205,0,255");
    EXPECT_EQ(rgba(parseRankColour("ZZZZZZ")), "0,0,0,255");
    EXPECT_EQ(rgba(parseRankColour("##1")), "0,17,0,255");
    EXPECT_EQ(rgba(parseRankColour(" 1 2 3")), "0,0,0,255");
    EXPECT_EQ(rgba(parseRankColour("-1-1-1")), "0,0,0,255");
    EXPECT_EQ(rgba(parseRankColour(std::string("\0\0\0", 3))), "0,0,0,255");
    EXPECT_EQ(rgba(parseRankColour("<html><body>Internal Server Error</body></html>")), "0,0,0,255");
}

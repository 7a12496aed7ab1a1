#include "web/RankColour.hpp"

#include <gtest/gtest.h>

TEST(RankColour, ReadsHexPiecesOfOneOrTwoDigitsWithOrWithoutHash) {
    // Digits past the sixth are ignored, a short last piece is not doubled, pieces end at a non-digit.
    const std::pair<std::string, sf::Uint32> rows[] = {
        {"#1E90FF", 0x1E90FF}, {"1e90ff", 0x1E90FF}, {"1E90FF\r\n", 0x1E90FF},
        {"F0A", 0xFF00AA},     {"F", 0xFF0000},      {"ABCDE", 0xABCD0E},
        {"", 0xAA0000},        {"1Z00FF", 0x0100FF}, {"##1", 0x001100}};
    for (const auto& [reply, rgb] : rows)
        EXPECT_EQ(parseRankColour(reply), sf::Color(rgb << 8 | 0xFF)) << reply;
}

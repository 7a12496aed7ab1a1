#include "link/UserStateTable.hpp"

#include <gtest/gtest.h>

TEST(UserStateTable, EachListSetsItsOwnNumberKeepsTheOtherAndAllGoOfflineTogether) {
    UserStateTable::applyDeathIndex("carol", "Carol", 4);
    UserStateTable::applyState("dan", "Dan", 1);
    UserStateTable::markAllOffline();
    UserStateTable::applyDeathIndex("bob", "Bobby Tables", 65535);
    UserStateTable::applyState("bob", "Bob", 1);
    UserStateTable::applyState("alice", "Alice", 3);
    UserStateTable::applyState("alice", "Alicia", 2); // the last entry for a name wins
    UserStateTable::applyDeathIndex("alice", "Al", 7);
    std::string rows; // name, display name, state, death index
    for (const auto& [key, user] : UserStateTable::entries)
        rows += (key == user.name ? key : "misnamed") + "|" + user.displayName + "|" +
                std::to_string(user.state) + "|" + std::to_string(user.deathIndex) + " ";
    EXPECT_EQ(rows, "alice|Al|2|7 bob|Bob|1|65535 carol|Carol|0|4 dan|Dan|0|0 ");
}

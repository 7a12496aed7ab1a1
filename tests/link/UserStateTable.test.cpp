#include "link/UserStateTable.hpp"

#include <gtest/gtest.h>

TEST(UserStateTable, ListsSetTheirOwnNumberKeepTheOtherSortAsBytesAndGoOfflineTogether) {
    UserStateTable::applyDeathIndex("carol", "Carol", 4);
    for (const char* name : {"bobby", "Zed", "", "\xC3\xA9mile", "~"})
        UserStateTable::applyState(name, "x", 1);
    UserStateTable::markAllOffline();
    UserStateTable::applyDeathIndex("bob", "Bobby Tables", 65535);
    UserStateTable::applyState("bob", "Bob", 1);
    UserStateTable::applyState("alice", "Alice", 3);
    UserStateTable::applyState("alice", "Alicia", 2); // the last entry for a name wins
    UserStateTable::applyDeathIndex("alice", "Al", 7);
    std::string rows; // name, display name, state, death index in the table's order
    for (const auto& [key, user] : UserStateTable::entries)
        rows += (key == user.name ? key : "misnamed") + "|" + user.displayName + "|" +
                std::to_string(user.state) + "|" + std::to_string(user.deathIndex) + " ";
    EXPECT_EQ(rows, "|x|0|0 Zed|x|0|0 alice|Al|2|7 bob|Bob|1|65535 bobby|x|0|0 carol|Carol|0|4 ~|x|0|0 "
                    "\xC3\xA9mile|x|0|0 ");
}

#include "link/UserStateTable.hpp"

#include <gtest/gtest.h>

// Rows of name, display name, state and death index, in the table's order.
static std::vector<std::string> rows() {
    std::vector<std::string> result;
    for (const auto& [key, user] : UserStateTable::entries)
        result.push_back(key + "|" + user.displayName + "|" + std::to_string(user.state) + "|" +
                         std::to_string(user.deathIndex) + (key == user.name ? "" : " misnamed"));
    return result;
}

TEST(UserStateTable, ListsSetTheirOwnNumberKeepTheOtherSortAsBytesAndGoOfflineTogether) {
    UserStateTable::entries.clear();
    UserStateTable::applyState("bob", "Bob", 1);
    UserStateTable::applyDeathIndex("bob", "Bobby Tables", 65535);
    UserStateTable::applyDeathIndex("carol", "Carol", 4); // named only in deathindex
    UserStateTable::applyState("alice", "Alice", 3);      // named only in userstates
    // A later entry for the same name in one list wins; the display name follows the last list.
    UserStateTable::applyState("alice", "Alicia", 2);
    // Capitals sort before small letters, a prefix before its extensions, high bytes last.
    for (const char* name : {"bobby", "Zed", "", "\xC3\xA9mile", "~"})
        UserStateTable::applyState(name, "x", 1);
    EXPECT_EQ(rows(),
              (std::vector<std::string>{"|x|1|0", "Zed|x|1|0", "alice|Alicia|2|0", "bob|Bobby Tables|1|65535",
                                        "bobby|x|1|0", "carol|Carol|0|4", "~|x|1|0", "\xC3\xA9mile|x|1|0"}));
    UserStateTable::markAllOffline();
    EXPECT_EQ(rows(),
              (std::vector<std::string>{"|x|0|0", "Zed|x|0|0", "alice|Alicia|0|0", "bob|Bobby Tables|0|65535",
                                        "bobby|x|0|0", "carol|Carol|0|4", "~|x|0|0", "\xC3\xA9mile|x|0|0"}));
}

#include "link/UserStateTable.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> keys() {
    std::vector<std::string> result;
    for (const auto& keyed : UserStateTable::entries) {
        EXPECT_EQ(keyed.first, keyed.second.name);
        result.push_back(keyed.first);
    }
    return result;
}

class UserStateTableTest : public testing::Test {
protected:
    void SetUp() override { UserStateTable::entries.clear(); }
};

} // namespace

TEST_F(UserStateTableTest, KeysAreOrderedAsBytes) {
    for (const char* name : {"bobby", "alice", "Zed", "bob", "", "\xC3\xA9mile", "~"})
        UserStateTable::applyState(name, "x", 1);
    // Capitals sort before small letters, a prefix before its extensions, high bytes last.
    EXPECT_EQ(keys(), (std::vector<std::string>{"", "Zed", "alice", "bob", "bobby", "~", "\xC3\xA9mile"}));
}

TEST_F(UserStateTableTest, ListUpdatesSetTheirOwnNumberAndKeepTheOther) {
    UserStateTable::applyState("bob", "Bob", 1);
    UserStateTable::applyState("alice", "Alice", 0);
    EXPECT_EQ(keys(), (std::vector<std::string>{"alice", "bob"}));
    EXPECT_EQ(UserStateTable::entries["bob"].deathIndex, 0) << "named only in userstates";

    UserStateTable::applyDeathIndex("bob", "Bobby Tables", 65535);
    const UserState& bob = UserStateTable::entries["bob"];
    EXPECT_EQ(bob.displayName, "Bobby Tables");
    EXPECT_EQ(bob.deathIndex, 65535);
    EXPECT_EQ(bob.state, 1u);

    UserStateTable::applyDeathIndex("carol", "Carol", 4);
    EXPECT_EQ(UserStateTable::entries["carol"].state, 0u) << "named only in deathindex";

    // A later entry for the same name in one list wins; the display name follows the last list.
    UserStateTable::applyState("bob", "First", 2);
    UserStateTable::applyState("bob", "Second", 0);
    EXPECT_EQ(bob.displayName, "Second");
    EXPECT_EQ(bob.state, 0u);
    EXPECT_EQ(bob.deathIndex, 65535);
}

TEST_F(UserStateTableTest, EntryCreatesOnceAndMarkAllOfflineKeepsEverythingElse) {
    UserState& made = UserStateTable::entry("");
    EXPECT_EQ(made.name, "");
    EXPECT_EQ(made.deathIndex, 0);
    EXPECT_EQ(&UserStateTable::entry(""), &made);

    UserStateTable::applyState("alice", "Alice", 3);
    UserStateTable::applyDeathIndex("alice", "Alice A", 9);
    UserStateTable::applyState("bob", "Bob", 65535);
    UserStateTable::markAllOffline();
    EXPECT_EQ(keys(), (std::vector<std::string>{"", "alice", "bob"}));
    for (const auto& keyed : UserStateTable::entries)
        EXPECT_EQ(keyed.second.state, 0u) << keyed.first;
    EXPECT_EQ(UserStateTable::entries["alice"].displayName, "Alice A");
    EXPECT_EQ(UserStateTable::entries["alice"].deathIndex, 9);
}

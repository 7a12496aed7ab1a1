#include "server/web/Users.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <tuple>
#include <vector>

namespace {

// token id rank user display real sex groups avatar
const std::string ann = "tokA\t42\t1\tann\tAnn\tAnn Lee\t2\tadmins,players\tpics/ann.png\n";
const std::string bob = "tokB\t-7\t0\tbob\tBobby\tBob Ray\t1\t\n"; // 8 fields: no avatar

TEST(WebUsers, ReadsUsersSkippingBlankAndCommentLines) {
    const UsersRead read = parseUsers("# token\tid...\n\n" + ann + bob + "#tokC\t1\n", "/srv/brannoc");
    ASSERT_TRUE(read.users) << read.error;
    ASSERT_EQ(read.users->byToken.size(), 2u);
    const WebUser* a = read.users->find("tokA");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(std::tie(a->id, a->rank, a->sex), std::make_tuple(42, 1, 2));
    EXPECT_EQ((std::vector<std::string>{a->userName, a->displayName, a->realName, a->groups}),
              (std::vector<std::string>{"ann", "Ann", "Ann Lee", "admins,players"}));
    EXPECT_EQ(read.users->avatarOf(42), "/srv/brannoc/pics/ann.png");
    const WebUser* b = read.users->find("tokB");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->id, -7);
    EXPECT_EQ(read.users->avatarOf(-7), "");
    EXPECT_EQ(read.users->find("tokC"), nullptr);
    EXPECT_EQ(read.users->find(""), nullptr);
}

TEST(WebUsers, RefusesUnsafeOrMalformedLinesNamingThem) {
    struct Row {
        const char* what;
        std::string text;
        const char* error;
    };
    const Row rows[] = {
        {"double quote", ann + "tokB\t7\t0\tbob\t\"Bob\tB\t1\tg\t\n",
         "line 2: the display holds a double quote"},
        {"opening brace", ann + "\n" + "tokB\t7\t0\tbob\tBob\t{B\t1\tg\t\n",
         "line 3: the real name holds a brace"},
        {"closing brace", "tokB\t7\t0\tbob\tBob\tB\t1\tg}\t\n", "line 1: the groups holds a brace"},
        {"CRLF line end", "tokB\t7\t0\tbob\tBob\tB\t1\tg\tp.png\r\n",
         "line 1: the avatar holds a carriage return"},
        {"escape byte", "tokB\t7\t0\tb\x1b[2Job\tBob\tB\t1\tg\t\n",
         "line 1: the user holds a control character"},
        {"seven fields", "tokB\t7\t0\tbob\tBob\tB\t1\n", "line 1: expected 9 tab-separated fields"},
        {"ten fields", ann + "tokB\t7\t0\tbob\tBob\tB\t1\tg\t\tx\n", "line 2: expected 9"},
        {"spaces, no tabs", "tokB 7 0 bob Bob B 1 g\n", "line 1: expected 9"},
        {"id with letters", "tokB\t4x\t0\tbob\tBob\tB\t1\tg\t\n", "line 1: the id is not an integer: 4x"},
        {"empty rank", "tokB\t7\t\tbob\tBob\tB\t1\tg\t\n", "line 1: the rank is not an integer"},
        {"sex past 32 bits", "tokB\t7\t0\tbob\tBob\tB\t2147483648\tg\t\n",
         "line 1: the sex is not an integer"},
        {"duplicate token", ann + bob + ann, "line 3: the token is already used on line 1"},
        {"empty token", "\t7\t0\tbob\tBob\tB\t1\tg\t\n", "line 1: the token is empty"},
        {"ampersand in token", "a&b\t7\t0\tbob\tBob\tB\t1\tg\t\n", "line 1: the token holds"},
    };
    for (const Row& row : rows) {
        const UsersRead read = parseUsers(row.text, "/srv");
        EXPECT_FALSE(read.users) << row.what;
        EXPECT_NE(read.error.find(row.error), std::string::npos) << row.what << ": " << read.error;
    }
    // The extremes of 32 bits are fine.
    EXPECT_TRUE(parseUsers("t\t2147483647\t-2147483648\tu\td\tr\t0\tg\t\n", "").users);
}

TEST(WebUsers, FileReadableByOthersIsRefusedAsASecret) {
    char pattern[] = "/tmp/brannoc-users-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string folder = pattern;
    const std::string path = folder + "/users";
    std::ofstream(path) << ann;
    struct Row {
        mode_t mode;
        bool accepted;
    };
    for (const Row row :
         {Row{0600, true}, Row{0400, true}, Row{0640, false}, Row{0604, false}, Row{0620, false}}) {
        ASSERT_EQ(chmod(path.c_str(), row.mode), 0);
        const UsersRead read = readUsersFile(path);
        EXPECT_EQ(static_cast<bool>(read.users), row.accepted) << std::oct << row.mode << ": " << read.error;
        if (row.accepted)
            EXPECT_EQ(read.users->avatarOf(42), folder + "/pics/ann.png");
        else
            EXPECT_NE(read.error.find("secret"), std::string::npos) << read.error;
    }
    const UsersRead missing = readUsersFile(folder + "/absent");
    EXPECT_FALSE(missing.users);
    EXPECT_NE(missing.error.find(folder + "/absent"), std::string::npos);
    std::filesystem::remove_all(folder);
}

} // namespace

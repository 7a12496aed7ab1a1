#include "server/realtime/SqliteStorage.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <tuple>

namespace {

using namespace server;
using Rows = std::vector<std::tuple<std::string, std::string, int>>;
using Done = std::function<void(ChangeResult)>;
constexpr std::int64_t t0 = 1700000000000; // 2023-11-14 22:13:20 UTC

Rows rows(const std::vector<UserCount>& users) {
    Rows out;
    for (const auto& user : users)
        out.emplace_back(user.user, user.display, user.count);
    return out;
}

void runSql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

class SqliteStorageTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(mkdtemp(dir.data()), nullptr); }
    void TearDown() override { std::filesystem::remove_all(dir); }
    // Closes the store if one is open, runs sql on the file, then opens it.
    void reopen(const std::string& at, const std::string& sql = "") {
        if (store)
            await<>([&](auto done) { store->close(done); });
        if (!sql.empty())
            runSql(at, sql);
        std::string error;
        store = SqliteStorage::open(loop, at, error);
        ASSERT_TRUE(store) << error;
    }
    // Runs the loop until the completion comes, which must not run inside the call.
    template <typename... Args, typename Call> std::tuple<Args...> await(Call call) {
        std::optional<std::tuple<Args...>> out;
        call([&out](Args... args) { out.emplace(std::move(args)...); });
        EXPECT_FALSE(out) << "the completion ran inside the call";
        for (int i = 0; i < 50 && !out; ++i)
            loop.run_one_for(std::chrono::milliseconds(100));
        EXPECT_TRUE(out) << "no completion within 5 s";
        return out.value_or(std::tuple<Args...>{});
    }
    CommitResult commit(std::vector<Increment> batch) {
        return std::get<0>(await<CommitResult>([&](auto done) { store->commit(batch, done); }));
    }
    Snapshot load() {
        return std::get<2>(await<bool, std::string, Snapshot>([&](auto done) { store->load(done); }));
    }
    std::size_t history(std::size_t n, const char* oldest = nullptr) {
        const auto entries = std::get<2>(
            await<bool, std::string, std::vector<HistoryEntry>>([&](auto done) { store->history(n, done); }));
        EXPECT_TRUE(!oldest || (!entries.empty() && entries[0].user == oldest)) << "the last n, oldest first";
        return entries.size();
    }

    boost::asio::io_context loop;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard{loop.get_executor()};
    std::string dir = (std::filesystem::temp_directory_path() / "brannoc-store-XXXXXX").string();
    std::unique_ptr<SqliteStorage> store;
};

TEST_F(SqliteStorageTest, BatchesApplyInOrderUpToTheCapsWhollyOrNotAtAll) {
    const std::string nul("n\0l", 3), raw("\xff\xfe", 2), top = "UPDATE tally SET total = 65534";
    const std::string full = "INSERT INTO users VALUES ('a', 'A', 65534)";
    const std::string users =
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 65535) "
        "INSERT INTO users SELECT 'u' || i, 'U', 1 FROM n";
    // Stands in for a disk that fails in the middle of a batch.
    const std::string failing = "UPDATE tally SET total = 9; CREATE TRIGGER f BEFORE INSERT ON history WHEN "
                                "NEW.user = 'boom' BEGIN SELECT RAISE(ABORT, 'disk is full'); END";
    using O = Outcome;
    const O a = O::Applied;
    // SQL run on a new store, the batch (increment k timed t0 + k), its outcomes (none: it fails),
    // the total stored after it, the users it changed.
    const std::tuple<std::string, std::vector<Increment>, std::vector<O>, int, Rows> cases[] = {
        {"", {{nul, raw}, {raw, nul}, {nul, nul}}, {a, a, a}, 3, {{nul, nul, 2}, {raw, nul, 1}}},
        {top, {{"a", "A"}, {"b", "B"}}, {a, O::TotalFull}, 65535, {{"a", "A", 1}}},
        {full, {{"a", ""}, {"a", ""}, {"b", ""}}, {a, O::CountFull, a}, 2, {{"a", "", 65535}, {"b", "", 1}}},
        {users, {{"new", "N"}, {"u7", "Seven"}}, {O::UsersFull, a}, 1, {{"u7", "Seven", 2}}},
        {failing, {{"a", "A"}, {"boom", "B"}}, {}, 9, {}}};
    int n = 0;
    for (const auto& [sql, increments, outcomes, total, changed] : cases) {
        const std::string at = dir + "/" + std::to_string(++n) + "/tally.db"; // the folder is made
        reopen(at);
        reopen(at, sql);
        std::vector<Increment> batch = increments;
        for (std::size_t k = 0; k < batch.size(); ++k)
            batch[k].timeMs = t0 + static_cast<std::int64_t>(k);
        const CommitResult r = commit(batch);
        EXPECT_EQ(r.ok, !outcomes.empty()) << n;
        EXPECT_TRUE(r.ok || r.error.find("disk is full") != std::string::npos) << r.error;
        const auto last = std::find(outcomes.rbegin(), outcomes.rend(), a);
        const std::int64_t lastMs = last == outcomes.rend() ? 0 : t0 + (outcomes.rend() - last - 1);
        EXPECT_EQ(std::make_tuple(r.outcomes, rows(r.changed)), std::tie(outcomes, changed)) << n;
        EXPECT_TRUE(!r.ok || (r.total == total && r.lastIncrementMs == lastMs)) << n;
        reopen(at);
        const Snapshot s = load();
        EXPECT_EQ(std::tie(s.total, s.lastIncrementMs), std::tie(total, lastMs)) << n;
        // All but the store of 65535 users hold only the changed ones.
        EXPECT_TRUE(s.users.size() > 10 || rows(s.users) == changed) << n;
        EXPECT_EQ(history(100000), std::count(outcomes.begin(), outcomes.end(), a)) << n;
    }
}

TEST_F(SqliteStorageTest, RenameUndoAndSetTotalInSequence) {
    reopen(dir + "/tally.db");
    ASSERT_TRUE(commit({{"a", "A", t0 + 1}, {"b", "B", t0 + 2}, {"a", "A", t0 + 3}}).ok);
    history(2, "b");
    const auto undo = [this](Done d) { store->undo(d); };
    const auto set = [this](std::uint16_t total) {
        return [this, total](Done d) { store->setTotal(total, d); };
    };
    const auto rename = [this](const char* user, const char* display) {
        return [this, user, display](Done d) { store->rename(user, display, d); };
    };
    // The call, whether it succeeds, part of its message, the total after it, the users it changed.
    const std::tuple<std::function<void(Done)>, bool, std::string, int, Rows> steps[] = {
        {rename("a", "A"), true, "", 3, {}},
        {rename("a", "Alpha"), true, "", 3, {{"a", "Alpha", 2}}},
        {rename("zed", "Z"), true, "", 3, {}},
        {undo, true, "increment of a at 2023-11-14 22:13:20.003 UTC", 2, {{"a", "Alpha", 1}}},
        {set(0), true, "total set to 0", 0, {}},
        {undo, true, "increment of b at 2023-11-14 22:13:20.002 UTC", 0, {{"b", "B", 0}}},
        {undo, true, "increment of a at 2023-11-14 22:13:20.001 UTC", 0, {{"a", "Alpha", 0}}},
        {undo, false, "nothing to undo", 0, {}},
        {set(65535), true, "total set to 65535", 65535, {}}};
    for (const auto& [call, ok, says, total, changed] : steps) {
        const ChangeResult r = std::get<0>(await<ChangeResult>(call));
        EXPECT_EQ(std::make_tuple(r.ok, r.total, rows(r.changed)), std::tie(ok, total, changed)) << r.message;
        EXPECT_NE(r.message.find(says), std::string::npos) << r.message;
    }
    reopen(dir + "/tally.db");
    const Snapshot s = load();
    EXPECT_EQ(std::make_tuple(s.total, rows(s.users)),
              std::make_tuple(65535, Rows{{"a", "Alpha", 0}, {"b", "B", 0}}));
}

TEST_F(SqliteStorageTest, RefusesUnusableFilesAndLeavesThemUntouched) {
    // SQL making the file, whether pages are then damaged, the reason given. The damaged one has our
    // schema version, so that only the damage can be the reason.
    const std::tuple<const char*, bool, const char*> cases[] = {
        {"CREATE TABLE t (x); PRAGMA user_version = 2", false, "newer"},
        {"CREATE TABLE t (x)", false, "another program"},
        {"PRAGMA user_version = 1; CREATE TABLE t (x); CREATE INDEX tx ON t (x); WITH RECURSIVE n(i) AS "
         "(SELECT 1 "
         "UNION ALL SELECT i + 1 FROM n WHERE i < 2000) INSERT INTO t SELECT randomblob(50) FROM n",
         true, "damaged"}};
    for (const auto& [sql, damage, says] : cases) {
        const std::string at = dir + "/" + says + ".db";
        runSql(at, sql);
        if (damage)
            std::fstream(at, std::ios::in | std::ios::out | std::ios::binary).seekp(8192)
                << std::string(4096, 'x');
        const auto bytes = [&] {
            return std::string(std::istreambuf_iterator<char>(std::ifstream(at).rdbuf()), {});
        };
        const std::string before = bytes();
        std::string error;
        EXPECT_FALSE(SqliteStorage::open(loop, at, error)) << says;
        // One line, naming the file and the reason.
        EXPECT_TRUE(error.find(at) == 0 && error.find(says) != std::string::npos &&
                    error.find('\n') == error.npos)
            << error;
        EXPECT_TRUE(bytes() == before) << says << ": the file was changed";
    }
}

TEST_F(SqliteStorageTest, QueuedCallsRunInOrderEvenWhenClosedOrDestroyed) {
    const std::string path = dir + "/tally.db", copy = dir + "/copy.db";
    reopen(path);
    int committed = 0;
    for (int i = 0; i < 20; ++i) {
        store->commit({{"a", "A", t0 + i}}, [&](CommitResult r) { committed += r.ok; });
        if (i == 0)
            store->backup(copy, [](bool, std::string) {});
    }
    const auto [ok, message] = await<bool, std::string>([&](auto done) { store->backup(copy, done); });
    EXPECT_FALSE(ok || message.find("already exists") == std::string::npos) << message;
    await<>([&](auto done) { store->close(done); });
    EXPECT_EQ(committed, 20);
    EXPECT_FALSE(commit({{"a", "A", t0}}).ok) << "a call after close";
    reopen(path);
    for (int i = 0; i < 5; ++i)
        store->commit({{"b", "B", t0 + i}}, [](CommitResult) {});
    store.reset(); // never closed: the destructor still runs what was queued
    reopen(copy);
    EXPECT_EQ(load().total, 1) << "the backup holds what was committed before it";
    reopen(path);
    EXPECT_EQ(load().total, 25);
}

} // namespace

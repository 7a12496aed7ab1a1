#include "server/realtime/SqliteStorage.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <tuple>
#include <utility>

namespace {

using server::ChangeResult;
using server::CommitResult;
using server::Increment;
using server::Outcome;
using server::SqliteStorage;
namespace fs = std::filesystem;

using Rows = std::vector<std::tuple<std::string, std::string, int>>;
using Entries = std::vector<std::pair<std::string, std::int64_t>>;

Rows rows(const std::vector<server::UserCount>& users) {
    Rows out;
    for (const auto& u : users)
        out.emplace_back(u.user, u.display, u.count);
    return out;
}

std::string bytesOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void runSql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

constexpr std::int64_t t0 = 1700000000000; // 2023-11-14 22:13:20 UTC

class SqliteStorageTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "brannoc-store-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        path = dir + "/state/brannoc/tally.db"; // the folders do not exist yet
    }
    void TearDown() override {
        store.reset();
        fs::remove_all(dir);
    }

    void open(const std::string& at) {
        store.reset();
        std::string error;
        store = SqliteStorage::open(loop, at, error);
        ASSERT_TRUE(store) << error;
    }

    // Runs the loop until the completion arrives, and checks it did not run inside the call.
    template <typename... Args, typename Call> std::tuple<Args...> await(Call call) {
        std::optional<std::tuple<Args...>> out;
        call([&out](Args... args) { out.emplace(std::move(args)...); });
        EXPECT_FALSE(out) << "the completion ran inside the call";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!out && std::chrono::steady_clock::now() < deadline)
            loop.run_one_for(std::chrono::milliseconds(100));
        if (!out)
            ADD_FAILURE() << "no completion within 20 s";
        return out.value_or(std::tuple<Args...>{});
    }

    CommitResult commit(std::vector<Increment> batch) {
        return std::get<0>(await<CommitResult>([&](auto done) { store->commit(std::move(batch), done); }));
    }
    server::Snapshot load() {
        auto [ok, error, snapshot] =
            await<bool, std::string, server::Snapshot>([&](auto done) { store->load(done); });
        EXPECT_TRUE(ok) << error;
        return snapshot;
    }
    Entries history(std::size_t n) {
        auto [ok, error, entries] = await<bool, std::string, std::vector<server::HistoryEntry>>(
            [&](auto done) { store->history(n, done); });
        EXPECT_TRUE(ok) << error;
        Entries out;
        for (const auto& e : entries)
            out.emplace_back(e.user, e.timeMs);
        return out;
    }
    ChangeResult change(std::function<void(std::function<void(ChangeResult)>)> call) {
        return std::get<0>(await<ChangeResult>(call));
    }
    std::pair<bool, std::string> backup(const std::string& to) {
        auto [ok, message] = await<bool, std::string>([&](auto done) { store->backup(to, done); });
        return {ok, message};
    }
    void close() {
        await<>([&](auto done) { store->close(done); });
    }

    boost::asio::io_context loop;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard =
        boost::asio::make_work_guard(loop);
    std::string dir;
    std::string path;
    std::unique_ptr<SqliteStorage> store;
};

TEST_F(SqliteStorageTest, BatchAppliesCapsInOrderAndSurvivesReopening) {
    const std::string nul("n\0l", 3);
    const std::string rawBytes("\xff\xfe", 2);
    struct Case {
        const char* name;
        const char* presetSql; // run on the closed, empty store before the batch
        int presetTotal;       // set through the storage first, or -1
        std::vector<Increment> batch;
        std::vector<Outcome> outcomes;
        int total;
        std::int64_t lastMs;
        Rows changed;
    };
    const Case cases[] = {
        {"empty batch", nullptr, -1, {}, {}, 0, 0, {}},
        {"repeat user keeps the last display name",
         nullptr,
         -1,
         {{"a", "A1", t0}, {"b", "B", t0 + 1}, {"a", "A2", t0 + 2}},
         {Outcome::Applied, Outcome::Applied, Outcome::Applied},
         3,
         t0 + 2,
         {{"a", "A2", 2}, {"b", "B", 1}}},
        {"names are bytes",
         nullptr,
         -1,
         {{nul, rawBytes, t0}, {rawBytes, nul, t0 + 1}},
         {Outcome::Applied, Outcome::Applied},
         2,
         t0 + 1,
         {{nul, rawBytes, 1}, {rawBytes, nul, 1}}},
        {"total reaches its cap mid-batch",
         nullptr,
         65534,
         {{"a", "A", t0}, {"b", "B", t0 + 1}},
         {Outcome::Applied, Outcome::TotalFull},
         65535,
         t0,
         {{"a", "A", 1}}},
        {"a user's count reaches its cap, others go on",
         "INSERT INTO users VALUES ('a', 'A', 65534)",
         -1,
         {{"a", "A", t0}, {"a", "A", t0 + 1}, {"b", "B", t0 + 2}},
         {Outcome::Applied, Outcome::CountFull, Outcome::Applied},
         2,
         t0 + 2,
         {{"a", "A", 65535}, {"b", "B", 1}}},
        {"no new user once 65535 exist, known ones go on",
         "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 65535) "
         "INSERT INTO users SELECT 'u' || i, 'U', 1 FROM n",
         -1,
         {{"new", "N", t0}, {"u7", "Seven", t0 + 1}},
         {Outcome::UsersFull, Outcome::Applied},
         1,
         t0 + 1,
         {{"u7", "Seven", 2}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string at = dir + "/" + std::to_string(&c - cases) + "/tally.db";
        open(at);
        if (c.presetSql) {
            close();
            runSql(at, c.presetSql);
            open(at);
        }
        if (c.presetTotal >= 0) {
            const auto preset = static_cast<std::uint16_t>(c.presetTotal);
            EXPECT_TRUE(change([&](auto done) { store->setTotal(preset, done); }).ok);
        }
        const CommitResult r = commit(c.batch);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.outcomes, c.outcomes);
        EXPECT_EQ(r.total, c.total);
        EXPECT_EQ(rows(r.changed), c.changed);
        const auto applied =
            static_cast<std::size_t>(std::count(c.outcomes.begin(), c.outcomes.end(), Outcome::Applied));
        EXPECT_EQ(r.lastIncrementMs, c.lastMs);

        close();
        open(at);
        const server::Snapshot s = load();
        EXPECT_EQ(s.total, r.total);
        EXPECT_EQ(s.lastIncrementMs, r.lastIncrementMs);
        const Rows stored = rows(s.users);
        for (const auto& user : c.changed)
            EXPECT_NE(std::find(stored.begin(), stored.end(), user), stored.end()) << std::get<0>(user);
        EXPECT_EQ(history(100000).size(), applied);
        close();
    }
}

TEST_F(SqliteStorageTest, FailedBatchLeavesNothingApplied) {
    open(path);
    ASSERT_TRUE(commit({{"a", "A", t0}}).ok);
    close();
    // Stands in for a disk that fails in the middle of a batch.
    runSql(path, "CREATE TRIGGER fail BEFORE INSERT ON history WHEN NEW.user = 'boom' "
                 "BEGIN SELECT RAISE(ABORT, 'disk is full'); END");
    open(path);
    const CommitResult r = commit({{"a", "A2", t0 + 1}, {"boom", "B", t0 + 2}});
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("disk is full"), std::string::npos) << r.error;
    EXPECT_TRUE(r.changed.empty());

    const server::Snapshot s = load();
    EXPECT_EQ(s.total, 1);
    EXPECT_EQ(s.lastIncrementMs, t0);
    EXPECT_EQ(rows(s.users), (Rows{{"a", "A", 1}}));
    EXPECT_EQ(history(10), (Entries{{"a", t0}}));
}

TEST_F(SqliteStorageTest, RenameUndoAndSetTotalInSequence) {
    open(path);
    ASSERT_TRUE(commit({{"a", "A", t0 + 1}, {"b", "B", t0 + 2}, {"a", "A", t0 + 3}}).ok);
    EXPECT_EQ(history(2), (Entries{{"b", t0 + 2}, {"a", t0 + 3}}));
    EXPECT_EQ(history(0), Entries{});

    using Call = std::function<void(std::function<void(ChangeResult)>)>;
    const auto rename = [&](std::string user, std::string display) -> Call {
        return [=](auto done) { store->rename(user, display, done); };
    };
    const Call undo = [&](auto done) { store->undo(done); };
    const auto setTotal = [&](std::uint16_t n) -> Call {
        return [=](auto done) { store->setTotal(n, done); };
    };
    struct Step {
        const char* name;
        Call call;
        bool ok;
        std::string message;
        int total;
        Rows changed;
        Entries historyAfter;
    };
    const Entries all{{"a", t0 + 1}, {"b", t0 + 2}, {"a", t0 + 3}};
    const Step steps[] = {
        {"rename to the same display", rename("a", "A"), true, "", 3, {}, all},
        {"rename", rename("a", "Alpha"), true, "", 3, {{"a", "Alpha", 2}}, all},
        {"rename an unknown user", rename("zed", "Z"), true, "", 3, {}, all},
        {"undo the newest",
         undo,
         true,
         "undid the increment of a at 2023-11-14 22:13:20.003 UTC",
         2,
         {{"a", "Alpha", 1}},
         {{"a", t0 + 1}, {"b", t0 + 2}}},
        {"set the total", setTotal(0), true, "total set to 0", 0, {}, {{"a", t0 + 1}, {"b", t0 + 2}}},
        {"undo at total 0 keeps it at 0",
         undo,
         true,
         "undid the increment of b at 2023-11-14 22:13:20.002 UTC",
         0,
         {{"b", "B", 0}},
         {{"a", t0 + 1}}},
        {"undo the last one",
         undo,
         true,
         "undid the increment of a at 2023-11-14 22:13:20.001 UTC",
         0,
         {{"a", "Alpha", 0}},
         {}},
        {"undo with an empty history", undo, false, "nothing to undo", 0, {}, {}},
        {"set the total to its cap", setTotal(65535), true, "total set to 65535", 65535, {}, {}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        const ChangeResult r = change(step.call);
        EXPECT_EQ(r.ok, step.ok);
        EXPECT_EQ(r.message, step.message);
        EXPECT_EQ(r.total, step.total);
        EXPECT_EQ(rows(r.changed), step.changed);
        EXPECT_EQ(history(10), step.historyAfter);
    }
    close();
    open(path);
    const server::Snapshot s = load();
    EXPECT_EQ(s.total, 65535);
    EXPECT_EQ(rows(s.users), (Rows{{"a", "Alpha", 0}, {"b", "B", 0}}));
}

TEST_F(SqliteStorageTest, BackupIsAConsistentNewFile) {
    open(path);
    const std::string copy = dir + "/copy.db";
    // Queued back to back: the copy holds exactly what was committed before it.
    std::optional<std::pair<bool, std::string>> backedUp;
    store->commit({{"a", "A", t0}}, [](CommitResult) {});
    store->backup(copy, [&](bool ok, std::string message) { backedUp.emplace(ok, std::move(message)); });
    EXPECT_TRUE(commit({{"b", "B", t0 + 1}}).ok);
    ASSERT_TRUE(backedUp);
    EXPECT_TRUE(backedUp->first) << backedUp->second;

    const std::string before = bytesOf(copy);
    struct Refusal {
        std::string to;
        std::string says;
    };
    for (const Refusal& r :
         {Refusal{copy, "already exists"}, Refusal{dir + "/missing/copy.db", "cannot create"}}) {
        SCOPED_TRACE(r.to);
        const auto [ok, message] = backup(r.to);
        EXPECT_FALSE(ok);
        EXPECT_NE(message.find(r.says), std::string::npos) << message;
    }
    EXPECT_TRUE(bytesOf(copy) == before) << "the backup was overwritten";
    EXPECT_FALSE(fs::exists(dir + "/missing"));

    close();
    open(copy);
    const server::Snapshot s = load();
    EXPECT_EQ(s.total, 1);
    EXPECT_EQ(rows(s.users), (Rows{{"a", "A", 1}}));
}

TEST_F(SqliteStorageTest, RefusesUnusableFilesAndLeavesThemUntouched) {
    const auto writeFile = [](const std::string& at, const std::string& bytes) {
        std::ofstream(at, std::ios::binary) << bytes;
    };
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
        const char* says;
    };
    const Case cases[] = {
        {"random bytes",
         [&](const std::string& at) {
             std::mt19937 random(7);
             std::string bytes(8192, '\0');
             for (char& c : bytes)
                 c = static_cast<char>(random());
             writeFile(at, bytes);
         },
         "not a usable"},
        {"a text file", [&](const std::string& at) { writeFile(at, "total=12\n"); }, "not a usable"},
        {"a newer schema",
         [](const std::string& at) { runSql(at, "CREATE TABLE t (x); PRAGMA user_version = 2"); }, "newer"},
        {"another program's database", [](const std::string& at) { runSql(at, "CREATE TABLE t (x)"); },
         "another program"},
        {"damaged pages",
         [&](const std::string& at) {
             runSql(at,
                    // Our schema version, so that only the damage can be the reason to refuse it.
                    "PRAGMA user_version = 1; CREATE TABLE t (x); CREATE INDEX tx ON t (x); WITH RECURSIVE "
                    "n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000) "
                    "INSERT INTO t SELECT randomblob(50) FROM n");
             std::string bytes = bytesOf(at);
             ASSERT_GT(bytes.size(), 16384u);
             std::fill(bytes.begin() + 8192, bytes.begin() + 12288, '\xab');
             writeFile(at, bytes);
         },
         "damaged"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string at = dir + "/" + std::to_string(&c - cases) + ".db";
        c.make(at);
        const std::string before = bytesOf(at);
        std::string error;
        EXPECT_FALSE(SqliteStorage::open(loop, at, error));
        EXPECT_NE(error.find(at), std::string::npos) << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_TRUE(bytesOf(at) == before) << "the file was changed";
    }
}

TEST_F(SqliteStorageTest, CloseAndDestructionFinishQueuedCalls) {
    open(path);
    std::vector<std::string> order;
    for (int i = 0; i < 20; ++i)
        store->commit({{"a", "A", t0 + i}},
                      [&](CommitResult r) { order.push_back(r.ok ? "commit" : r.error); });
    close();
    EXPECT_EQ(order, std::vector<std::string>(20, "commit"));
    const CommitResult late = commit({{"a", "A", t0}});
    EXPECT_FALSE(late.ok);
    EXPECT_FALSE(late.error.empty());

    open(path);
    for (int i = 0; i < 5; ++i)
        store->commit({{"b", "B", t0 + i}}, [](CommitResult) {});
    store.reset(); // never closed: the destructor still runs and keeps what was queued
    open(path);
    EXPECT_EQ(load().total, 25);
}

} // namespace

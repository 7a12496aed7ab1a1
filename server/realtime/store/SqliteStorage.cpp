#include "server/realtime/store/SqliteStorage.hpp"

#include "text/SafeText.hpp"

#include <boost/asio/post.hpp>
#include <sqlite3.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <map>
#include <stdexcept>
#include <system_error>
#include <type_traits>
#include <utility>

namespace server {

namespace {

constexpr std::int64_t maxValue = 65535; // the caps on the total, a count and the number of users
constexpr int busyTimeoutMs = 5000;      // another server process may hold the write lock briefly

const char* const schemaSql = R"sql(
CREATE TABLE IF NOT EXISTS tally (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    total INTEGER NOT NULL CHECK (total BETWEEN 0 AND 65535),
    last_increment_ms INTEGER NOT NULL
);
INSERT OR IGNORE INTO tally (id, total, last_increment_ms) VALUES (1, 0, 0);
CREATE TABLE IF NOT EXISTS users (
    user TEXT PRIMARY KEY NOT NULL,
    display TEXT NOT NULL,
    count INTEGER NOT NULL CHECK (count BETWEEN 0 AND 65535)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS history (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    user TEXT NOT NULL,
    time_ms INTEGER NOT NULL
);
)sql";

// Thrown inside a job only; submit() turns it into a failed result.
struct DbError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void check(sqlite3* db, int rc) {
    if (rc != SQLITE_OK && rc != SQLITE_ROW && rc != SQLITE_DONE)
        throw DbError(sqlite3_errmsg(db));
}

void exec(sqlite3* db, const char* sql) {
    check(db, sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
}

class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        check(db, sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr));
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Names are arbitrary bytes from the network, so their length is always explicit.
    Statement& bind(int index, const std::string& text) {
        check(db_,
              sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bind(int index, std::int64_t value) {
        check(db_, sqlite3_bind_int64(stmt_, index, value));
        return *this;
    }
    // True while there is a row to read.
    bool step() {
        const int rc = sqlite3_step(stmt_);
        check(db_, rc);
        return rc == SQLITE_ROW;
    }
    void reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    std::string text(int column) {
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
        return bytes ? std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                     : std::string();
    }
    std::int64_t integer(int column) { return sqlite3_column_int64(stmt_, column); }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// Rolls back unless committed, so a failure anywhere leaves nothing of the job applied. Writers
// take the write lock at once, so that another process sharing the file cannot slip in between
// our read of the counts and our write.
class Transaction {
public:
    enum Kind { Read, Write };
    explicit Transaction(sqlite3* db, Kind kind = Write) : db_(db) {
        exec(db, kind == Write ? "BEGIN IMMEDIATE" : "BEGIN");
    }
    ~Transaction() {
        if (!committed_ && !sqlite3_get_autocommit(db_))
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        // A statement left on a row would hold the transaction open; every value read is copied.
        for (sqlite3_stmt* s = sqlite3_next_stmt(db_, nullptr); s; s = sqlite3_next_stmt(db_, s))
            sqlite3_reset(s);
        exec(db_, "COMMIT");
        committed_ = true;
    }

private:
    sqlite3* db_;
    bool committed_ = false;
};

std::uint16_t readTotal(sqlite3* db) {
    Statement select(db, "SELECT total FROM tally WHERE id = 1");
    return select.step() ? static_cast<std::uint16_t>(select.integer(0)) : 0;
}

std::string formatTime(std::int64_t ms) {
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    if (!gmtime_r(&seconds, &utc))
        return std::to_string(ms) + " ms";
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d UTC", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms % 1000 + 1000) % 1000);
    return text;
}

// The results that have no struct of their own in the interface.
struct LoadResult {
    bool ok = false;
    std::string error;
    Snapshot snapshot;
};
struct HistoryResult {
    bool ok = false;
    std::string error;
    std::vector<HistoryEntry> entries;
};
struct UsersResult {
    bool ok = false;
    std::string error;
    std::vector<UserRecord> entries;
};
struct BackupResult {
    bool ok = false;
    std::string message;
};

template <typename Result> Result failed(std::string why) {
    Result result;
    if constexpr (std::is_same_v<Result, CommitResult> || std::is_same_v<Result, LoadResult> ||
                  std::is_same_v<Result, HistoryResult> || std::is_same_v<Result, UsersResult>)
        result.error = std::move(why);
    else
        result.message = std::move(why);
    return result;
}

// Checks made before anything is written, so that a file we refuse stays byte for byte as it was.
std::string refusal(sqlite3* db, const std::string& path) {
    try {
        Statement quickCheck(db, "PRAGMA quick_check(3)");
        std::string verdict;
        while (quickCheck.step())
            verdict += (verdict.empty() ? "" : "; ") + quickCheck.text(0);
        if (verdict != "ok")
            return path + " is damaged (" + SafeText::printable(verdict) + ")";
        Statement version(db, "PRAGMA user_version");
        const std::int64_t found = version.step() ? version.integer(0) : 0;
        if (found > SqliteStorage::schemaVersion)
            return path + " was written by a newer brannoc-server (schema " + std::to_string(found) +
                   ", this one knows " + std::to_string(SqliteStorage::schemaVersion) + ")";
        if (found == 0) {
            Statement tables(db, "SELECT count(*) FROM sqlite_schema");
            if (tables.step() && tables.integer(0) > 0)
                return path + " is a database of another program";
        }
        if (sqlite3_db_readonly(db, "main") == 1)
            return path + " cannot be written";
    } catch (const DbError& e) {
        return path + " is not a usable tally database (" + e.what() + ")";
    }
    return {};
}

std::string prepare(sqlite3* db, const std::string& path) {
    try {
        sqlite3_busy_timeout(db, busyTimeoutMs);
        Statement journal(db, "PRAGMA journal_mode = WAL");
        const std::string mode = journal.step() ? journal.text(0) : std::string();
        if (mode != "wal")
            return "cannot use write-ahead logging for " + path + " (journal mode " + mode + ")";
        // Every acknowledged increment must survive a power cut.
        exec(db, "PRAGMA synchronous = FULL");
        Transaction transaction(db);
        exec(db, schemaSql);
        exec(db, ("PRAGMA user_version = " + std::to_string(SqliteStorage::schemaVersion)).c_str());
        transaction.commit();
    } catch (const DbError& e) {
        return "cannot set up " + path + ": " + e.what();
    }
    return {};
}

} // namespace

std::unique_ptr<SqliteStorage> SqliteStorage::open(boost::asio::io_context& loop, const std::string& path,
                                                   std::string& error) {
    sqlite3* db = nullptr;
    try {
        namespace fs = std::filesystem;
        std::error_code ec;
        const fs::path parent = fs::path(path).parent_path();
        if (!parent.empty() && !fs::create_directories(parent, ec) && ec) {
            error = "cannot create " + parent.string() + ": " + ec.message();
            return nullptr;
        }
        const bool existed = fs::exists(fs::symlink_status(path, ec));
        const int flags = SQLITE_OPEN_READWRITE | (existed ? 0 : SQLITE_OPEN_CREATE);
        if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
            error = "cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
            sqlite3_close_v2(db);
            return nullptr;
        }
        sqlite3_extended_result_codes(db, 1);
        error = refusal(db, path);
        if (error.empty())
            error = prepare(db, path);
        if (!error.empty()) {
            sqlite3_close_v2(db);
            return nullptr;
        }
        std::unique_ptr<SqliteStorage> storage(new SqliteStorage(loop, db));
        db = nullptr; // the storage closes it from here on
        storage->thread_ = std::thread([worker = &storage->worker_] {
            try {
                worker->run();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "brannoc-server: tally storage worker stopped: %s\n", e.what());
            } catch (...) {
                std::fprintf(stderr, "brannoc-server: tally storage worker stopped\n");
            }
        });
        return storage;
    } catch (const std::exception& e) {
        sqlite3_close_v2(db);
        error = "cannot open " + path + ": " + e.what();
        return nullptr;
    }
}

SqliteStorage::SqliteStorage(boost::asio::io_context& loop, sqlite3* db)
    : loop_(loop), guard_(boost::asio::make_work_guard(worker_)), db_(db) {}

SqliteStorage::~SqliteStorage() {
    if (thread_.joinable()) {
        if (!closing_) {
            boost::asio::post(worker_, [this] { closeDatabase(); });
            guard_.reset();
        }
        thread_.join();
    }
    closeDatabase();
}

void SqliteStorage::closeDatabase() {
    if (db_) {
        if (sqlite3_close_v2(db_) != SQLITE_OK)
            std::fprintf(stderr, "brannoc-server: closing the tally database: %s\n", sqlite3_errmsg(db_));
        db_ = nullptr;
    }
}

template <typename Result, typename Job, typename Deliver>
void SqliteStorage::submit(Job job, Deliver deliver) {
    if (closing_) {
        boost::asio::post(loop_, [deliver = std::move(deliver)]() mutable {
            deliver(failed<Result>("the tally storage is closed"));
        });
        return;
    }
    boost::asio::post(worker_, [this, job = std::move(job), deliver = std::move(deliver)]() mutable {
        Result result;
        try {
            result = job();
        } catch (const std::exception& e) {
            result = failed<Result>(e.what());
        }
        boost::asio::post(loop_, [deliver = std::move(deliver), result = std::move(result)]() mutable {
            deliver(std::move(result));
        });
    });
}

void SqliteStorage::load(std::function<void(bool ok, std::string error, Snapshot)> done) {
    submit<LoadResult>(
        [this] {
            LoadResult result;
            // One read transaction, so the total and the counts belong together.
            Transaction transaction(db_, Transaction::Read);
            Statement tally(db_, "SELECT total, last_increment_ms FROM tally WHERE id = 1");
            if (tally.step()) {
                result.snapshot.total = static_cast<std::uint16_t>(tally.integer(0));
                result.snapshot.lastIncrementMs = tally.integer(1);
            }
            Statement users(db_, "SELECT user, display, count FROM users ORDER BY user");
            while (users.step())
                result.snapshot.users.push_back(
                    {users.text(0), users.text(1), static_cast<std::uint16_t>(users.integer(2))});
            transaction.commit();
            result.ok = true;
            return result;
        },
        [done = std::move(done)](LoadResult r) { done(r.ok, std::move(r.error), std::move(r.snapshot)); });
}

void SqliteStorage::commit(std::vector<Increment> batch, std::map<std::string, std::string> renames,
                           std::function<void(CommitResult)> done) {
    submit<CommitResult>(
        [this, batch = std::move(batch), renames = std::move(renames)] {
            CommitResult result;
            Transaction transaction(db_);
            Statement tally(db_, "SELECT total, last_increment_ms FROM tally WHERE id = 1");
            const bool stored = tally.step();
            std::int64_t total = stored ? tally.integer(0) : 0;
            std::int64_t lastMs = stored ? tally.integer(1) : 0;
            Statement findUser(db_, "SELECT count FROM users WHERE user = ?1");
            Statement upsertUser(db_, "INSERT INTO users (user, display, count) VALUES (?1, ?2, 1) "
                                      "ON CONFLICT (user) DO UPDATE SET display = ?2, count = count + 1 "
                                      "RETURNING count");
            Statement append(db_, "INSERT INTO history (user, time_ms) VALUES (?1, ?2)");
            std::optional<std::int64_t> userRows; // counted only once a new user shows up
            std::map<std::string, UserCount> changed;
            for (const Increment& increment : batch) {
                findUser.reset();
                const bool known = findUser.bind(1, increment.user).step();
                const std::int64_t count = known ? findUser.integer(0) : 0;
                if (!known && !userRows) {
                    Statement rows(db_, "SELECT count(*) FROM users");
                    userRows = rows.step() ? rows.integer(0) : 0;
                }
                if (total >= maxValue) {
                    result.outcomes.push_back(Outcome::TotalFull);
                } else if (count >= maxValue) {
                    result.outcomes.push_back(Outcome::CountFull);
                } else if (!known && *userRows >= maxValue) {
                    result.outcomes.push_back(Outcome::UsersFull);
                } else {
                    upsertUser.reset();
                    upsertUser.bind(1, increment.user).bind(2, increment.display).step();
                    const auto newCount = static_cast<std::uint16_t>(upsertUser.integer(0));
                    append.reset();
                    append.bind(1, increment.user).bind(2, increment.timeMs).step();
                    if (!known)
                        ++*userRows;
                    ++total;
                    lastMs = increment.timeMs;
                    changed[increment.user] = {increment.user, increment.display, newCount};
                    result.outcomes.push_back(Outcome::Applied);
                }
            }
            // After the increments, which carry the display name of their moment: the latest name wins.
            Statement rename(db_, "UPDATE users SET display = ?2 WHERE user = ?1 AND display IS NOT ?2 "
                                  "RETURNING count");
            for (const auto& [user, display] : renames) {
                rename.reset();
                if (rename.bind(1, user).bind(2, display).step())
                    changed[user] = {user, display, static_cast<std::uint16_t>(rename.integer(0))};
            }
            Statement store(db_, "UPDATE tally SET total = ?1, last_increment_ms = ?2 WHERE id = 1");
            store.bind(1, total).bind(2, lastMs).step();
            transaction.commit();
            result.ok = true;
            result.total = static_cast<std::uint16_t>(total);
            result.lastIncrementMs = lastMs;
            for (auto& entry : changed)
                result.changed.push_back(std::move(entry.second));
            return result;
        },
        std::move(done));
}

void SqliteStorage::undo(std::function<void(ChangeResult)> done) {
    submit<ChangeResult>(
        [this] {
            ChangeResult result;
            Transaction transaction(db_);
            Statement last(db_, "SELECT id, user, time_ms FROM history ORDER BY id DESC LIMIT 1");
            if (!last.step()) {
                result.total = readTotal(db_);
                result.message = "nothing to undo";
                return result;
            }
            const std::string user = last.text(1);
            const std::int64_t timeMs = last.integer(2);
            Statement remove(db_, "DELETE FROM history WHERE id = ?1");
            remove.bind(1, last.integer(0)).step();
            Statement count(db_, "UPDATE users SET count = max(count - 1, 0) WHERE user = ?1 "
                                 "RETURNING display, count");
            const bool counted = count.bind(1, user).step();
            if (counted)
                result.changed.push_back({user, count.text(0), static_cast<std::uint16_t>(count.integer(1))});
            exec(db_, "UPDATE tally SET total = max(total - 1, 0) WHERE id = 1");
            result.total = readTotal(db_);
            transaction.commit();
            result.ok = true;
            result.message = undoMessage(user, formatTime(timeMs), counted);
            return result;
        },
        std::move(done));
}

void SqliteStorage::setTotal(std::uint16_t total, std::function<void(ChangeResult)> done) {
    submit<ChangeResult>(
        [this, total] {
            ChangeResult result;
            Transaction transaction(db_);
            Statement update(db_, "UPDATE tally SET total = ?1 WHERE id = 1");
            update.bind(1, std::int64_t{total}).step();
            transaction.commit();
            result.ok = true;
            result.total = total;
            result.message = "total set to " + std::to_string(total);
            return result;
        },
        std::move(done));
}

void SqliteStorage::users(std::function<void(bool ok, std::string error, std::vector<UserRecord>)> done) {
    submit<UsersResult>(
        [this] {
            UsersResult result;
            Statement select(db_,
                             "SELECT u.user, u.display, u.count, coalesce(h.last, 0) FROM users u "
                             "LEFT JOIN (SELECT user, max(time_ms) AS last FROM history GROUP BY user) h "
                             "ON h.user = u.user ORDER BY u.user");
            while (select.step())
                result.entries.push_back({select.text(0), select.text(1),
                                          static_cast<std::uint16_t>(select.integer(2)), select.integer(3)});
            result.ok = true;
            return result;
        },
        [done = std::move(done)](UsersResult r) { done(r.ok, std::move(r.error), std::move(r.entries)); });
}

void SqliteStorage::forget(std::vector<std::string> users, std::function<void(ChangeResult)> done) {
    submit<ChangeResult>(
        [this, users = std::move(users)] {
            ChangeResult result;
            Transaction transaction(db_);
            Statement remove(db_, "DELETE FROM users WHERE user = ?1 RETURNING user");
            for (const auto& user : users) {
                remove.reset();
                if (remove.bind(1, user).step())
                    result.removed.push_back(user);
            }
            result.total = readTotal(db_);
            transaction.commit();
            result.ok = true;
            return result;
        },
        std::move(done));
}

void SqliteStorage::history(std::size_t n,
                            std::function<void(bool ok, std::string error, std::vector<HistoryEntry>)> done) {
    submit<HistoryResult>(
        [this, n] {
            HistoryResult result;
            const auto limit = static_cast<std::int64_t>(
                std::min<std::size_t>(n, static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max())));
            Statement select(db_, "SELECT user, time_ms FROM (SELECT id, user, time_ms FROM history "
                                  "ORDER BY id DESC LIMIT ?1) ORDER BY id");
            select.bind(1, limit);
            while (select.step())
                result.entries.push_back({select.text(0), select.integer(1)});
            result.ok = true;
            return result;
        },
        [done = std::move(done)](HistoryResult r) { done(r.ok, std::move(r.error), std::move(r.entries)); });
}

void SqliteStorage::backup(std::string path, std::function<void(bool ok, std::string message)> done) {
    submit<BackupResult>(
        [this, path = std::move(path)] {
            BackupResult result;
            // Creating the file ourselves, exclusively, is what keeps an existing one safe.
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd < 0) {
                result.message = errno == EEXIST ? path + " already exists; a backup never overwrites a file"
                                                 : "cannot create " + path + ": " + std::strerror(errno);
                return result;
            }
            ::close(fd);
            sqlite3* copy = nullptr;
            int rc = sqlite3_open_v2(path.c_str(), &copy, SQLITE_OPEN_READWRITE, nullptr);
            if (rc == SQLITE_OK) {
                sqlite3_backup* step = sqlite3_backup_init(copy, "main", db_, "main");
                if (step) {
                    // One step copies every page under one read, so the copy is a single moment.
                    const int stepped = sqlite3_backup_step(step, -1);
                    rc = sqlite3_backup_finish(step);
                    if (rc == SQLITE_OK && stepped != SQLITE_DONE)
                        rc = stepped;
                } else {
                    rc = sqlite3_errcode(copy);
                }
            }
            const std::string why =
                copy && sqlite3_errcode(copy) != SQLITE_OK ? sqlite3_errmsg(copy) : sqlite3_errstr(rc);
            sqlite3_close_v2(copy);
            if (rc != SQLITE_OK) {
                std::remove(path.c_str());
                result.message = "backup to " + path + " failed: " + why;
                return result;
            }
            result.ok = true;
            result.message = "backed up to " + path;
            return result;
        },
        [done = std::move(done)](BackupResult r) { done(r.ok, std::move(r.message)); });
}

void SqliteStorage::close(std::function<void()> done) {
    if (closing_) {
        boost::asio::post(loop_, std::move(done));
        return;
    }
    closing_ = true;
    std::weak_ptr<int> alive = alive_;
    boost::asio::post(worker_, [this, alive, done = std::move(done)]() mutable {
        closeDatabase();
        boost::asio::post(loop_, [this, alive, done = std::move(done)] {
            // The worker's last job has run; it only has to leave run().
            if (alive.lock() && thread_.joinable())
                thread_.join();
            done();
        });
    });
    // Queued jobs (the one above included) keep the worker running until they are done.
    guard_.reset();
}

} // namespace server

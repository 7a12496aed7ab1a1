#pragma once

#include "server/realtime/store/Storage.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <memory>
#include <optional>
#include <string>
#include <thread>

struct sqlite3;

namespace server {

// The tally in one SQLite file. All database work runs in order on a worker thread of its own;
// completions are posted to the loop given to open(). Call it from that loop's thread only, and
// keep the loop alive as long as the storage.
class SqliteStorage : public Storage {
public:
    // Opens the database at path, creating it (and its folders) when missing. Null, with a one-line
    // reason in error, when the file is not a sound tally database or was written by a newer
    // schema; such a file is left exactly as it was.
    static std::unique_ptr<SqliteStorage> open(boost::asio::io_context& loop, const std::string& path,
                                               std::string& error);

    // Runs the calls still queued, then closes the database, even when close() was never called.
    ~SqliteStorage() override;

    SqliteStorage(const SqliteStorage&) = delete;
    SqliteStorage& operator=(const SqliteStorage&) = delete;

    void load(std::function<void(bool ok, std::string error, Snapshot)> done) override;
    void commit(std::vector<Increment> batch, std::map<std::string, std::string> renames,
                std::function<void(CommitResult)> done) override;
    void undo(std::function<void(ChangeResult)> done) override;
    void setTotal(std::uint16_t total, std::function<void(ChangeResult)> done) override;
    void history(std::size_t n,
                 std::function<void(bool ok, std::string error, std::vector<HistoryEntry>)> done) override;
    void users(std::function<void(bool ok, std::string error, std::vector<UserRecord>)> done) override;
    void forget(std::vector<std::string> users, std::function<void(ChangeResult)> done) override;
    void backup(std::string path, std::function<void(bool ok, std::string message)> done) override;
    void close(std::function<void()> done) override;

    // The schema this build writes; a file with a higher PRAGMA user_version is refused.
    static constexpr int schemaVersion = 1;

private:
    SqliteStorage(boost::asio::io_context& loop, sqlite3* db);

    // Runs job() on the worker and hands its result to deliver() on the loop. A job that throws,
    // or a call after close(), delivers a failed result instead.
    template <typename Result, typename Job, typename Deliver> void submit(Job job, Deliver deliver);

    void closeDatabase();

    boost::asio::io_context& loop_;
    boost::asio::io_context worker_;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> guard_;
    std::thread thread_;
    sqlite3* db_; // used by the worker only, once it runs
    bool closing_ = false;
    // Lets close()'s last step on the loop tell whether the storage still exists.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace server

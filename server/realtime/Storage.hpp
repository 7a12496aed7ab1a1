#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Where the tally lives. Every call returns at once; its completion handler runs later on the
// event loop that the storage was made for, never inside the call. The storage alone applies the
// caps, so that several server processes sharing one store agree on them.
namespace server {

struct UserCount {
    std::string user;    // the key a client names itself by
    std::string display; // the display name last given for it
    std::uint16_t count = 0;
};

struct Snapshot {
    std::uint16_t total = 0;
    std::vector<UserCount> users;     // every user that has a count, ordered by user
    std::int64_t lastIncrementMs = 0; // Unix time in ms of the last increment; 0 for never
};

struct Increment {
    std::string user;
    std::string display;
    std::int64_t timeMs = 0; // Unix time in ms
};

enum class Outcome {
    Applied,
    TotalFull, // the total is 65535
    CountFull, // the user's own count is 65535
    UsersFull, // a new user while 65535 users exist
};

// One committed batch. When ok is false nothing of the batch was applied.
struct CommitResult {
    bool ok = false;
    std::string error;              // when !ok: why, for one log line
    std::vector<Outcome> outcomes;  // one per increment, in order
    std::uint16_t total = 0;        // the total after the batch
    std::vector<UserCount> changed; // every user whose count or display name changed
    std::int64_t lastIncrementMs = 0;
};

// The result of an admin change (undo, set) or a rename.
struct ChangeResult {
    bool ok = false;
    std::string message;            // a line for the admin, or why it failed
    std::uint16_t total = 0;        // the total afterwards
    std::vector<UserCount> changed; // users whose count or display name changed
};

struct HistoryEntry {
    std::string user;
    std::int64_t timeMs = 0;
};

class Storage {
public:
    virtual ~Storage() = default;

    // The whole tally as stored now.
    virtual void load(std::function<void(bool ok, std::string error, Snapshot)> done) = 0;
    // Applies the increments in order in one transaction, durable before done runs.
    virtual void commit(std::vector<Increment> batch, std::function<void(CommitResult)> done) = 0;
    // Stores a new display name for a user that already has a count; changed is empty otherwise.
    virtual void rename(std::string user, std::string display, std::function<void(ChangeResult)> done) = 0;
    // Removes the last increment of the history and one from its user's count and the total.
    virtual void undo(std::function<void(ChangeResult)> done) = 0;
    // Sets the total; the users' counts and the history stay.
    virtual void setTotal(std::uint16_t total, std::function<void(ChangeResult)> done) = 0;
    // The last n increments, oldest first.
    virtual void history(std::size_t n,
                         std::function<void(bool ok, std::string error, std::vector<HistoryEntry>)> done) = 0;
    // A consistent copy of the store into a new file at path.
    virtual void backup(std::string path, std::function<void(bool ok, std::string message)> done) = 0;
    // Finishes the calls under way, then closes; done runs once nothing more will complete.
    virtual void close(std::function<void()> done) = 0;
};

} // namespace server

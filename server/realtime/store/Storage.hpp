#pragma once

#include <cstdint>
#include <functional>
#include <map>
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

// One user as the admin's list shows it.
struct UserRecord {
    std::string user;
    std::string display;
    std::uint16_t count = 0;
    std::int64_t lastIncrementMs =
        0; // Unix time in ms of the user's last increment in the history; 0 for none
};

// One committed batch. When ok is false nothing of the batch was applied.
struct CommitResult {
    bool ok = false;
    std::string error;              // when !ok: why, for one log line
    bool unconfirmed = false;       // when !ok: sent but unanswered, so the store may still apply it
    std::vector<Outcome> outcomes;  // one per increment, in order
    std::uint16_t total = 0;        // the total after the batch
    std::vector<UserCount> changed; // every user whose count or display name changed (renames included)
    std::int64_t lastIncrementMs = 0;
};

// The result of an admin change (undo, set, forget).
struct ChangeResult {
    bool ok = false;
    std::string message;              // a line for the admin, or why it failed
    std::uint16_t total = 0;          // the total afterwards
    std::vector<UserCount> changed;   // users whose count or display name changed
    std::vector<std::string> removed; // users forgotten by this change
};

struct HistoryEntry {
    std::string user;
    std::int64_t timeMs = 0;
};

// Each other server process sharing the store, by its id: its users online and their display names.
using PeerUsers = std::map<std::string, std::map<std::string, std::string>>;

// What a store shared by several server processes reports to the room, in the store's one order,
// so that every process's clients see the same sequence of totals.
class StoreListener {
public:
    virtual ~StoreListener() = default;
    // Any process's change to the tally, this one's included.
    virtual void tallyChanged(std::uint16_t total, std::int64_t lastIncrementMs,
                              const std::vector<UserCount>& changed) = 0;
    // A user came online (or took a new display name) or went offline at another process.
    virtual void peerPresence(const std::string& process, const std::string& user, const std::string& display,
                              bool online) = 0;
    // Every user another process holds now; empty when the process is gone.
    virtual void peerUsers(const std::string& process, const std::map<std::string, std::string>& users) = 0;
    // The whole tally and every other process's users, after the store was out of reach.
    virtual void resync(const Snapshot& snapshot, const PeerUsers& peers) = 0;
    // Any process's admin forgot these users: they and their counts are gone from the tally.
    virtual void forgotten(const std::vector<std::string>& users) = 0;
};

// The admin's line for an undone increment; counted false: its user was forgotten meanwhile.
std::string undoMessage(const std::string& user, const std::string& time, bool counted);

class Storage {
public:
    virtual ~Storage() = default;

    // The whole tally as stored now.
    virtual void load(std::function<void(bool ok, std::string error, Snapshot)> done) = 0;
    // Applies the increments in order, then the new display names (user to display name) of users
    // that have a count, all in one transaction, durable before done runs. Renames alone are a
    // batch too; a renamed user whose name did change is in the result's changed.
    virtual void commit(std::vector<Increment> batch, std::map<std::string, std::string> renames,
                        std::function<void(CommitResult)> done) = 0;
    // Removes the last increment of the history and one from the total and from its user's count;
    // when that user was forgotten, from the total only, and the message says so.
    virtual void undo(std::function<void(ChangeResult)> done) = 0;
    // Sets the total; the users' counts and the history stay.
    virtual void setTotal(std::uint16_t total, std::function<void(ChangeResult)> done) = 0;
    // The last n increments, oldest first.
    virtual void history(std::size_t n,
                         std::function<void(bool ok, std::string error, std::vector<HistoryEntry>)> done) = 0;
    // Every user that has a count, ordered by user, with the time of its last increment.
    virtual void users(std::function<void(bool ok, std::string error, std::vector<UserRecord>)> done) = 0;
    // Removes these users and their counts from the tally; the total and the history stay. The
    // result's removed lists those that existed.
    virtual void forget(std::vector<std::string> users, std::function<void(ChangeResult)> done) = 0;
    // A consistent copy of the store into a new file at path.
    virtual void backup(std::string path, std::function<void(bool ok, std::string message)> done) = 0;
    // Finishes the calls under way, then closes; done runs once nothing more will complete.
    virtual void close(std::function<void()> done) = 0;

    // A shared store: changes reach the room through the listener only, never from the results.
    virtual bool shared() const { return false; }
    virtual void listen(StoreListener&) {}
    // One of this process's users came online (or took a new display name) or went offline.
    virtual void presence(const std::string& /*user*/, const std::string& /*display*/, bool /*online*/) {}
    // Lines for the admin's status about the store and the other processes; empty for a private store.
    virtual std::string describe() const { return {}; }
};

} // namespace server

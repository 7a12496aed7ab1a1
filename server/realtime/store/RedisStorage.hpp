#pragma once

#include "server/realtime/store/RedisClient.hpp"
#include "server/realtime/store/Storage.hpp"

#include <boost/asio.hpp>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace server {

// The fields of a message that the server processes publish to one another: each field is its
// length in decimal, a colon and its bytes (names are arbitrary bytes). Nothing when malformed.
std::optional<std::vector<std::string>> splitFields(std::string_view text);
std::string joinFields(const std::vector<std::string>& fields);

// Whether Redis's persistence settings (CONFIG GET appendonly / appendfsync) can lose an increment
// that was already acknowledged; the warning to log, or empty.
std::string durabilityWarning(const std::string& appendonly, const std::string& appendfsync);

// The tally in Redis, shared by every server process pointed at the same Redis. Each change is one
// server-side script that also publishes it; every process subscribes once and hands the published
// changes, in Redis's order, to its room. Runs on the loop alone. While Redis is out of reach the
// calls fail at once; when it is back the room gets the whole tally again. A subscription that
// carries nothing, not even this process's own heartbeat, for a heartbeat lifetime counts as out
// of reach too. A Redis in cluster mode is refused: the scripts touch keys they do not declare.
class RedisStorage : public Storage {
public:
    // host (a name or an IP address, looked up again on each connection) and port: where Redis
    // listens; process: this process's id, unique in the cluster.
    RedisStorage(boost::asio::io_context& loop, std::string host, std::uint16_t port, std::string process);
    ~RedisStorage() override;
    RedisStorage(const RedisStorage&) = delete;
    RedisStorage& operator=(const RedisStorage&) = delete;

    // The first connection: fails when the host cannot be found, Redis does not answer or runs in
    // cluster mode; later outages are handled inside.
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

    bool shared() const override { return true; }
    void listen(StoreListener& listener) override;
    void presence(const std::string& user, const std::string& display, bool online) override;
    std::string describe() const override;

    // A process whose heartbeat is older than this is gone; the heartbeat goes every interval.
    static constexpr std::chrono::milliseconds heartbeatInterval{1000};
    static constexpr std::chrono::milliseconds heartbeatLifetime{3000};

private:
    enum class Script {
        Increment,
        Snapshot,
        Presence,
        Announce,
        Heartbeat,
        Undo,
        Set,
        Users,
        Forget,
        Leave,
        Count
    };
    void connect();
    void connectTo(const std::string& ip);
    void bothConnected();
    void checkPersistence();
    void loadScripts(std::size_t next);
    void resyncNow();
    void lost(const std::string& why);
    void heartbeat();
    void eval(Script script, std::vector<std::string> args, redis::Callback done);
    void message(const std::string& text);
    void deliver(const std::vector<std::string>& fields);
    template <typename Result> bool refuse(std::function<void(Result)>& done);

    boost::asio::io_context& loop_;
    std::string host_;
    std::uint16_t port_;
    boost::asio::ip::tcp::resolver resolver_;
    std::string process_;
    std::unique_ptr<redis::Connection> commands_;
    std::unique_ptr<redis::Connection> events_;
    int connectedCount_ = 0;
    boost::asio::steady_timer retry_;
    boost::asio::steady_timer beat_;
    std::vector<std::string> shas_; // the scripts' SHA1 as Redis reported them, once loaded
    bool up_ = false;
    bool everUp_ = false;
    bool closing_ = false;
    bool resyncing_ = false;
    std::chrono::steady_clock::time_point heard_; // when the subscription last carried a message
    std::vector<std::string> buffered_;           // messages that came while the snapshot was read
    std::uint64_t version_ = 0;                   // of the last tally change handed on
    std::function<void(bool, std::string, Snapshot)> loaded_;
    StoreListener* listener_ = nullptr;
    std::map<std::string, std::string> local_; // this process's users online, and display names
    std::vector<std::string> peers_;           // the other live processes, as last seen
    PeerUsers initialPeers_;                   // read with the first tally, for the room once it listens
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace server

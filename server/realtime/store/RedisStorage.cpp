#include "server/realtime/store/RedisStorage.hpp"

#include "server/realtime/net/Wire.hpp"
#include "server/realtime/room/Room.hpp"
#include "text/SafeText.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <type_traits>
#include <utility>

namespace server {

namespace asio = boost::asio;
using redis::Reply;

namespace {

const char* const channel = "brannoc:events";

// Shared by every script: the field encoding of splitFields, and the tally message.
const char* const prelude = R"lua(
local function f(s) s = tostring(s) return #s .. ':' .. s end
local function n(x) return string.format('%d', x) end
local function publishTally(users)
  local version = redis.call('INCR', 'brannoc:version')
  local msg = f('tally') .. f(n(version)) .. f(redis.call('GET', 'brannoc:total') or '0') ..
              f(redis.call('GET', 'brannoc:last') or '0')
  for _, user in ipairs(users) do
    msg = msg .. f(user) .. f(redis.call('HGET', 'brannoc:names', user) or user) ..
          f(redis.call('HGET', 'brannoc:counts', user) or '0')
  end
  redis.call('PUBLISH', 'brannoc:events', msg)
  return version
end
-- Every user with a count: user, display name, count and, with lastms, the time of its last increment.
local function countRows(lastms)
  local counts = redis.call('HGETALL', 'brannoc:counts')
  local out = {}
  for i = 1, #counts, 2 do
    out[#out + 1] = counts[i]
    out[#out + 1] = redis.call('HGET', 'brannoc:names', counts[i]) or counts[i]
    out[#out + 1] = counts[i + 1]
    if lastms then out[#out + 1] = redis.call('HGET', 'brannoc:lastms', counts[i]) or '0' end
  end
  return out
end
)lua";

// ARGV: the number of increments; user, display, time in ms for each; then user and new display
// name for each rename. Returns the total, the time of the last increment, the outcome of each
// increment (0 applied, 1 total full, 2 count full, 3 users full) and the users changed.
const char* const incrementLua = R"lua(
local increments = tonumber(ARGV[1])
local total = tonumber(redis.call('GET', 'brannoc:total') or '0')
local users = nil
local outcomes, order, seen = {}, {}, {}
local last = nil
for i = 2, 3 * increments + 1, 3 do
  local user, display = ARGV[i], ARGV[i + 1]
  local count = redis.call('HGET', 'brannoc:counts', user)
  if count then count = tonumber(count) elseif not users then users = redis.call('HLEN', 'brannoc:counts') end
  if total >= 65535 then outcomes[#outcomes + 1] = 1
  elseif count and count >= 65535 then outcomes[#outcomes + 1] = 2
  elseif not count and users >= 65535 then outcomes[#outcomes + 1] = 3
  else
    if not count then users = users + 1 end
    total = total + 1
    last = ARGV[i + 2]
    redis.call('HSET', 'brannoc:counts', user, (count or 0) + 1)
    redis.call('HSET', 'brannoc:names', user, display)
    redis.call('HSET', 'brannoc:lastms', user, last)
    redis.call('XADD', 'brannoc:history', '*', 'u', user, 't', last)
    if not seen[user] then seen[user] = true; order[#order + 1] = user end
    outcomes[#outcomes + 1] = 0
  end
end
-- After the increments, which carry the display name of their moment: the latest name wins.
for i = 3 * increments + 2, #ARGV, 2 do
  local user, display = ARGV[i], ARGV[i + 1]
  if redis.call('HEXISTS', 'brannoc:counts', user) == 1 and redis.call('HGET', 'brannoc:names', user) ~= display then
    redis.call('HSET', 'brannoc:names', user, display)
    if not seen[user] then seen[user] = true; order[#order + 1] = user end
  end
end
if last then
  redis.call('SET', 'brannoc:total', total)
  redis.call('SET', 'brannoc:last', last)
end
if #order > 0 then publishTally(order) end
local changed = {}
for _, user in ipairs(order) do
  changed[#changed + 1] = user
  changed[#changed + 1] = redis.call('HGET', 'brannoc:names', user)
  changed[#changed + 1] = redis.call('HGET', 'brannoc:counts', user)
end
return {total, redis.call('GET', 'brannoc:last') or '0', outcomes, changed}
)lua";

// ARGV: this process. The whole tally, its version, and the users of every other live process.
const char* const snapshotLua = R"lua(
local out = countRows(false)
local presence = {}
for _, p in ipairs(redis.call('SMEMBERS', 'brannoc:processes')) do
  if p ~= ARGV[1] and redis.call('EXISTS', 'brannoc:alive:' .. p) == 1 then
    local users = redis.call('HGETALL', 'brannoc:users:' .. p)
    for i = 1, #users, 2 do
      presence[#presence + 1] = p; presence[#presence + 1] = users[i]; presence[#presence + 1] = users[i + 1]
    end
  end
end
return {redis.call('GET', 'brannoc:total') or '0', redis.call('GET', 'brannoc:last') or '0',
        redis.call('GET', 'brannoc:version') or '0', out, presence}
)lua";

// ARGV: process, user, display, '1' online or '0' offline.
const char* const presenceLua = R"lua(
local key = 'brannoc:users:' .. ARGV[1]
if ARGV[4] == '1' then
  redis.call('HSET', key, ARGV[2], ARGV[3])
  redis.call('PUBLISH', 'brannoc:events', f('on') .. f(ARGV[1]) .. f(ARGV[2]) .. f(ARGV[3]))
else
  redis.call('HDEL', key, ARGV[2])
  redis.call('PUBLISH', 'brannoc:events', f('off') .. f(ARGV[1]) .. f(ARGV[2]))
end
return 1
)lua";

// ARGV: process, heartbeat lifetime in ms, then user and display of each of its users.
const char* const announceLua = R"lua(
local key = 'brannoc:users:' .. ARGV[1]
redis.call('DEL', key)
local msg = f('users') .. f(ARGV[1])
for i = 3, #ARGV, 2 do
  redis.call('HSET', key, ARGV[i], ARGV[i + 1])
  msg = msg .. f(ARGV[i]) .. f(ARGV[i + 1])
end
redis.call('SET', 'brannoc:alive:' .. ARGV[1], '1', 'PX', ARGV[2])
redis.call('SADD', 'brannoc:processes', ARGV[1])
redis.call('PUBLISH', 'brannoc:events', msg)
return 1
)lua";

// ARGV: process, heartbeat lifetime in ms. Renews this process's heartbeat and removes every
// process whose heartbeat has run out, telling the others, then publishes a beat of this process.
// Returns whether this process's own heartbeat was still there, and the other live processes.
const char* const heartbeatLua = R"lua(
local had = redis.call('EXISTS', 'brannoc:alive:' .. ARGV[1])
redis.call('SET', 'brannoc:alive:' .. ARGV[1], '1', 'PX', ARGV[2])
redis.call('SADD', 'brannoc:processes', ARGV[1])
local live = {}
for _, p in ipairs(redis.call('SMEMBERS', 'brannoc:processes')) do
  if p ~= ARGV[1] then
    if redis.call('EXISTS', 'brannoc:alive:' .. p) == 1 then
      live[#live + 1] = p
    else
      redis.call('DEL', 'brannoc:users:' .. p)
      redis.call('SREM', 'brannoc:processes', p)
      redis.call('PUBLISH', 'brannoc:events', f('users') .. f(p))
    end
  end
end
-- Heard back on this process's subscription, it shows that the subscription still carries messages.
redis.call('PUBLISH', 'brannoc:events', f('beat') .. f(ARGV[1]))
return {had, live}
)lua";

// Removes the last increment of the history. Returns {} when there is none, else its user, time,
// the new total, and 1 when the user still had a count (0: forgotten, so the total only).
const char* const undoLua = R"lua(
local newest = redis.call('XREVRANGE', 'brannoc:history', '+', '-', 'COUNT', 1)
if #newest == 0 then return {} end
local id, user, t = newest[1][1], newest[1][2][2], newest[1][2][4]
redis.call('XDEL', 'brannoc:history', id)
local total = tonumber(redis.call('GET', 'brannoc:total') or '0')
if total > 0 then total = total - 1 end
redis.call('SET', 'brannoc:total', total)
local count = redis.call('HGET', 'brannoc:counts', user)
if not count then
  publishTally({})
  return {user, t, total, 0}
end
if tonumber(count) > 0 then redis.call('HSET', 'brannoc:counts', user, tonumber(count) - 1) end
-- The user's last increment is now its newest one left in the history (a rare admin step: scanned).
local before, found = id, nil
while not found do
  local rows = redis.call('XREVRANGE', 'brannoc:history', '(' .. before, '-', 'COUNT', 1000)
  if #rows == 0 then break end
  for _, row in ipairs(rows) do
    if row[2][2] == user then found = row[2][4]; break end
  end
  before = rows[#rows][1]
end
if found then redis.call('HSET', 'brannoc:lastms', user, found) else redis.call('HDEL', 'brannoc:lastms', user) end
publishTally({user})
return {user, t, total, 1}
)lua";

// ARGV: the new total.
const char* const setLua = R"lua(
redis.call('SET', 'brannoc:total', ARGV[1])
publishTally({})
return 1
)lua";

// Every user that has a count: user, display name, count, time of its last increment (0: none).
const char* const usersLua = R"lua(
return countRows(true)
)lua";

// ARGV: users. Removes those that have a count, and publishes which under the next tally version,
// so that a resync's snapshot either lacks them or precedes the message. Returns those removed.
const char* const forgetLua = R"lua(
local removed = {}
for _, user in ipairs(ARGV) do
  if redis.call('HDEL', 'brannoc:counts', user) == 1 then
    redis.call('HDEL', 'brannoc:names', user)
    redis.call('HDEL', 'brannoc:lastms', user)
    removed[#removed + 1] = user
  end
end
if #removed > 0 then
  local msg = f('forget') .. f(n(redis.call('INCR', 'brannoc:version')))
  for _, user in ipairs(removed) do msg = msg .. f(user) end
  redis.call('PUBLISH', 'brannoc:events', msg)
end
return removed
)lua";

// ARGV: process. This process stops: its users go offline everywhere.
const char* const leaveLua = R"lua(
redis.call('DEL', 'brannoc:users:' .. ARGV[1], 'brannoc:alive:' .. ARGV[1])
redis.call('SREM', 'brannoc:processes', ARGV[1])
redis.call('PUBLISH', 'brannoc:events', f('users') .. f(ARGV[1]))
return 1
)lua";

const char* const scripts[] = {incrementLua, snapshotLua, presenceLua, announceLua, heartbeatLua,
                               undoLua,      setLua,      usersLua,    forgetLua,   leaveLua};

std::string body(std::size_t script) {
    return std::string(prelude) + scripts[script];
}

std::int64_t toInt(const Reply& reply) {
    if (reply.type == Reply::Type::Integer)
        return reply.integer;
    return std::strtoll(reply.str.c_str(), nullptr, 10);
}

std::uint16_t toU16(const Reply& reply) {
    const auto value = toInt(reply);
    return static_cast<std::uint16_t>(value < 0 ? 0 : value > 65535 ? 65535 : value);
}

std::vector<UserCount> userTriples(const Reply& reply) {
    std::vector<UserCount> users;
    for (std::size_t i = 0; i + 2 < reply.array.size(); i += 3)
        users.push_back({reply.array[i].str, reply.array[i + 1].str, toU16(reply.array[i + 2])});
    return users;
}

// Why a reply is not what a script returns: the connection ended, or Redis answered an error.
std::string failure(bool ok, const Reply& reply) {
    if (!ok)
        return "Redis did not answer: " + reply.str;
    if (reply.isError())
        return "Redis: " + reply.str;
    return {};
}

std::string utcTime(std::int64_t ms) {
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d UTC", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms % 1000 + 1000) % 1000);
    return text;
}

} // namespace

std::optional<std::vector<std::string>> splitFields(std::string_view text) {
    std::vector<std::string> fields;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto colon = text.find(':', pos);
        if (colon == std::string_view::npos || colon == pos || colon - pos > 9)
            return std::nullopt;
        std::size_t length = 0;
        for (std::size_t i = pos; i < colon; ++i) {
            if (text[i] < '0' || text[i] > '9')
                return std::nullopt;
            length = length * 10 + static_cast<std::size_t>(text[i] - '0');
        }
        if (length > text.size() - colon - 1)
            return std::nullopt;
        fields.emplace_back(text.substr(colon + 1, length));
        pos = colon + 1 + length;
    }
    return fields;
}

std::string joinFields(const std::vector<std::string>& fields) {
    std::string text;
    for (const auto& field : fields)
        text += std::to_string(field.size()) + ":" + field;
    return text;
}

std::string durabilityWarning(const std::string& appendonly, const std::string& appendfsync) {
    if (appendonly != "yes")
        return "Redis runs without its append-only file: a restart of Redis can lose acknowledged "
               "increments (run it with --appendonly yes --appendfsync always)";
    if (appendfsync != "always")
        return "Redis fsyncs its append-only file \"" + appendfsync +
               "\", not always: a crash of its machine can lose acknowledged increments";
    return {};
}

RedisStorage::RedisStorage(asio::io_context& loop, std::string host, std::uint16_t port, std::string process)
    : loop_(loop), host_(std::move(host)), port_(port), resolver_(loop), process_(std::move(process)),
      retry_(loop), beat_(loop) {}

RedisStorage::~RedisStorage() {
    closing_ = true;
    commands_.reset();
    events_.reset();
}

void RedisStorage::load(std::function<void(bool, std::string, Snapshot)> done) {
    loaded_ = std::move(done);
    connect();
}

void RedisStorage::listen(StoreListener& listener) {
    listener_ = &listener;
    for (const auto& [process, users] : std::exchange(initialPeers_, {}))
        listener_->peerUsers(process, users);
}

// Looks the host up again each time, on the loop: Redis may have moved to another address.
void RedisStorage::connect() {
    if (closing_)
        return;
    std::weak_ptr<int> alive = alive_;
    resolver_.async_resolve(
        host_, std::to_string(port_),
        [this, alive](boost::system::error_code ec, asio::ip::tcp::resolver::results_type found) {
            if (alive.expired() || closing_ || ec == asio::error::operation_aborted)
                return;
            if (ec || found.empty())
                return lost("cannot find " + host_ + ": " + (ec ? ec.message() : "no address"));
            connectTo(found.begin()->endpoint().address().to_string());
        });
}

void RedisStorage::connectTo(const std::string& ip) {
    connectedCount_ = 0;
    std::weak_ptr<int> alive = alive_;
    auto connected = [this, alive, ip](bool ok, std::string error) {
        if (alive.expired())
            return;
        if (!ok)
            return lost("cannot connect to Redis at " + host_ + ":" + std::to_string(port_) +
                        (ip == host_ ? "" : " (" + ip + ")") + ": " + error);
        if (++connectedCount_ == 2)
            bothConnected();
    };
    auto gone = [this, alive](std::string why) {
        if (!alive.expired())
            lost(why);
    };
    commands_ = std::make_unique<redis::Connection>(loop_, ip, port_, connected, gone);
    events_ = std::make_unique<redis::Connection>(loop_, ip, port_, connected, gone);
}

void RedisStorage::bothConnected() {
    if (!shas_.empty())
        return resyncNow();
    // Once per process: cluster mode, the persistence settings, then the scripts.
    commands_->command({"INFO", "cluster"}, [this](bool ok, Reply reply) {
        if (!failure(ok, reply).empty())
            return lost(failure(ok, reply));
        if (reply.str.find("cluster_enabled:1") != std::string::npos)
            return lost("Redis at " + host_ + ":" + std::to_string(port_) +
                        " runs in cluster mode, which brannoc-server does not support (its scripts touch "
                        "keys they do not declare)");
        checkPersistence();
    });
}

void RedisStorage::checkPersistence() {
    commands_->command({"CONFIG", "GET", "append*"}, [this](bool ok, Reply reply) {
        if (!failure(ok, reply).empty())
            return lost(failure(ok, reply));
        std::string appendonly, appendfsync;
        for (std::size_t i = 0; i + 1 < reply.array.size(); i += 2) {
            if (reply.array[i].str == "appendonly")
                appendonly = reply.array[i + 1].str;
            else if (reply.array[i].str == "appendfsync")
                appendfsync = reply.array[i + 1].str;
        }
        const auto warning = durabilityWarning(appendonly, appendfsync);
        if (!warning.empty())
            logLine(serverlog::Level::Warning, "warning: " + warning);
        loadScripts(0);
    });
}

void RedisStorage::loadScripts(std::size_t next) {
    if (next == static_cast<std::size_t>(Script::Count))
        return resyncNow();
    commands_->command({"SCRIPT", "LOAD", body(next)}, [this, next](bool ok, Reply reply) {
        if (!failure(ok, reply).empty()) {
            shas_.clear();
            return lost(failure(ok, reply));
        }
        shas_.push_back(reply.str);
        loadScripts(next + 1);
    });
}

// Subscribes, tells the others this process's users, then reads the whole tally: the messages
// that come in between are held and handed on after it, those it already holds dropped.
void RedisStorage::resyncNow() {
    resyncing_ = true;
    buffered_.clear();
    events_->subscribe(
        channel,
        [this] {
            heard_ = std::chrono::steady_clock::now();
            std::vector<std::string> args{process_, std::to_string(heartbeatLifetime.count())};
            for (const auto& [user, display] : local_) {
                args.push_back(user);
                args.push_back(display);
            }
            eval(Script::Announce, std::move(args), [this](bool announced, Reply answer) {
                if (!failure(announced, answer).empty())
                    return lost(failure(announced, answer));
                eval(Script::Snapshot, {process_}, [this](bool ok, Reply reply) {
                    if (!failure(ok, reply).empty() || reply.array.size() != 5)
                        return lost(failure(ok, reply).empty() ? "unexpected snapshot" : failure(ok, reply));
                    Snapshot snapshot;
                    snapshot.total = toU16(reply.array[0]);
                    snapshot.lastIncrementMs = toInt(reply.array[1]);
                    version_ = static_cast<std::uint64_t>(toInt(reply.array[2]));
                    snapshot.users = userTriples(reply.array[3]);
                    PeerUsers peers;
                    const auto& presence = reply.array[4].array;
                    for (std::size_t i = 0; i + 2 < presence.size(); i += 3)
                        peers[presence[i].str][presence[i + 1].str] = presence[i + 2].str;
                    peers_.clear();
                    for (const auto& entry : peers)
                        peers_.push_back(entry.first);
                    const bool first = !everUp_;
                    up_ = true;
                    everUp_ = true;
                    resyncing_ = false;
                    if (first) {
                        // The room is made from this first tally; it gets the peers' users once it listens.
                        initialPeers_ = peers;
                        if (loaded_)
                            std::exchange(loaded_, nullptr)(true, "", snapshot);
                    } else {
                        logLine(serverlog::Level::Warning,
                                "redis: back at " + host_ + ":" + std::to_string(port_) + ", total " +
                                    std::to_string(snapshot.total) + "; every client gets the whole tally");
                        if (listener_)
                            listener_->resync(snapshot, peers);
                    }
                    for (const auto& text : std::exchange(buffered_, {}))
                        message(text);
                    heartbeat();
                });
            });
        },
        [this](std::string text) { message(text); });
}

void RedisStorage::lost(const std::string& why) {
    if (closing_)
        return;
    const bool wasUp = up_;
    up_ = false;
    resyncing_ = false;
    beat_.cancel();
    resolver_.cancel();
    // Ended from the loop: this may run inside one of the connections' completions.
    if (commands_)
        commands_->close();
    if (events_)
        events_->close();
    asio::post(loop_, [dropped = std::shared_ptr<redis::Connection>(std::move(commands_)),
                       dropped2 = std::shared_ptr<redis::Connection>(std::move(events_))] {});
    if (!everUp_) {
        if (loaded_)
            std::exchange(loaded_, nullptr)(false, why, Snapshot{});
        return;
    }
    if (wasUp)
        logLine(serverlog::Level::Warning, "redis: unreachable (" + SafeText::printable(why) +
                                               "); increments are refused until it is back");
    retry_.expires_after(std::chrono::milliseconds(500));
    std::weak_ptr<int> alive = alive_;
    retry_.async_wait([this, alive](boost::system::error_code ec) {
        if (!ec && !alive.expired())
            connect();
    });
}

void RedisStorage::heartbeat() {
    if (!up_ || closing_)
        return;
    // Commands have a reply limit; a subscription has no reply to wait for, only this process's beats.
    if (std::chrono::steady_clock::now() - heard_ > heartbeatLifetime)
        return lost("the subscription carried nothing for " + std::to_string(heartbeatLifetime.count()) +
                    " ms");
    eval(Script::Heartbeat, {process_, std::to_string(heartbeatLifetime.count())},
         [this](bool ok, Reply reply) {
             if (!failure(ok, reply).empty() || reply.array.size() != 2)
                 return lost(failure(ok, reply).empty() ? "unexpected heartbeat reply" : failure(ok, reply));
             peers_.clear();
             for (const auto& peer : reply.array[1].array)
                 peers_.push_back(peer.str);
             if (toInt(reply.array[0]) == 0) {
                 // The others took this process for gone (a long stall): tell them its users again.
                 std::vector<std::string> args{process_, std::to_string(heartbeatLifetime.count())};
                 for (const auto& [user, display] : local_) {
                     args.push_back(user);
                     args.push_back(display);
                 }
                 eval(Script::Announce, std::move(args), [](bool, Reply) {});
             }
             std::weak_ptr<int> alive = alive_;
             beat_.expires_after(heartbeatInterval);
             beat_.async_wait([this, alive](boost::system::error_code ec) {
                 if (!ec && !alive.expired())
                     heartbeat();
             });
         });
}

// EVALSHA; a script Redis no longer knows (it restarted, or its scripts were flushed) is sent
// whole once, which also loads it again.
void RedisStorage::eval(Script script, std::vector<std::string> args, redis::Callback done) {
    if (!commands_ || shas_.size() != static_cast<std::size_t>(Script::Count)) {
        Reply why;
        why.str = "Redis is not connected";
        asio::post(loop_, [done, why] { done(false, why); });
        return;
    }
    const auto index = static_cast<std::size_t>(script);
    std::vector<std::string> command{"EVALSHA", shas_[index], "0"};
    command.insert(command.end(), args.begin(), args.end());
    std::weak_ptr<int> alive = alive_;
    commands_->command(command, [this, alive, index, args = std::move(args), done](bool ok,
                                                                                   Reply reply) mutable {
        if (alive.expired() || !ok || !reply.isError() || reply.str.rfind("NOSCRIPT", 0) != 0 || !commands_)
            return done(ok, std::move(reply));
        std::vector<std::string> whole{"EVAL", body(index), "0"};
        whole.insert(whole.end(), args.begin(), args.end());
        commands_->command(std::move(whole), std::move(done));
    });
}

void RedisStorage::message(const std::string& text) {
    heard_ = std::chrono::steady_clock::now();
    if (resyncing_) {
        buffered_.push_back(text);
        return;
    }
    const auto fields = splitFields(text);
    if (!fields || fields->empty()) {
        logLine(serverlog::Level::Warning, "redis: ignored a malformed message");
        return;
    }
    deliver(*fields);
}

void RedisStorage::deliver(const std::vector<std::string>& f) {
    if (!listener_)
        return;
    const std::string& kind = f[0];
    if (kind == "tally" && f.size() >= 4 && (f.size() - 4) % 3 == 0) {
        const auto version = std::strtoull(f[1].c_str(), nullptr, 10);
        if (version <= version_)
            return; // already in the snapshot
        version_ = version;
        std::vector<UserCount> users;
        for (std::size_t i = 4; i + 2 < f.size(); i += 3) {
            const auto count = std::strtoul(f[i + 2].c_str(), nullptr, 10);
            users.push_back({f[i], f[i + 1], static_cast<std::uint16_t>(count > 65535 ? 65535 : count)});
        }
        const auto total = std::strtoul(f[2].c_str(), nullptr, 10);
        listener_->tallyChanged(static_cast<std::uint16_t>(total > 65535 ? 65535 : total),
                                std::strtoll(f[3].c_str(), nullptr, 10), users);
    } else if (kind == "forget" && f.size() >= 2) {
        // Numbered with the tally changes, so that a resync neither loses nor repeats it.
        const auto version = std::strtoull(f[1].c_str(), nullptr, 10);
        if (version <= version_)
            return;
        version_ = version;
        listener_->forgotten(std::vector<std::string>(f.begin() + 2, f.end()));
    } else if (kind == "on" && f.size() == 4 && f[1] != process_) {
        listener_->peerPresence(f[1], f[2], f[3], true);
    } else if (kind == "off" && f.size() == 3 && f[1] != process_) {
        listener_->peerPresence(f[1], f[2], "", false);
    } else if (kind == "users" && f.size() >= 2 && f.size() % 2 == 0 && f[1] != process_) {
        std::map<std::string, std::string> users;
        for (std::size_t i = 2; i + 1 < f.size(); i += 2)
            users[f[i]] = f[i + 1];
        listener_->peerUsers(f[1], users);
    }
}

template <typename Result> bool RedisStorage::refuse(std::function<void(Result)>& done) {
    if (up_ && !closing_)
        return false;
    Result result;
    result.ok = false;
    if constexpr (std::is_same_v<Result, CommitResult>)
        result.error = "Redis unreachable";
    else
        result.message = "Redis unreachable";
    asio::post(loop_, [done = std::move(done), result] { done(result); });
    return true;
}

void RedisStorage::commit(std::vector<Increment> batch, std::map<std::string, std::string> renames,
                          std::function<void(CommitResult)> done) {
    if (refuse(done))
        return;
    std::vector<std::string> args{std::to_string(batch.size())};
    for (const auto& increment : batch) {
        args.push_back(increment.user);
        args.push_back(increment.display);
        args.push_back(std::to_string(increment.timeMs));
    }
    for (const auto& [user, display] : renames) {
        args.push_back(user);
        args.push_back(display);
    }
    eval(Script::Increment, std::move(args), [done = std::move(done)](bool ok, Reply reply) {
        CommitResult result;
        result.error = failure(ok, reply);
        // A script that timed out may still run once Redis wakes: its fate shows in the next tally.
        result.unconfirmed = !ok;
        if (result.error.empty() && reply.array.size() != 4)
            result.error = "unexpected reply from the increment script";
        if (result.error.empty()) {
            result.ok = true;
            result.total = toU16(reply.array[0]);
            result.lastIncrementMs = toInt(reply.array[1]);
            for (const auto& code : reply.array[2].array)
                result.outcomes.push_back(code.integer == 0   ? Outcome::Applied
                                          : code.integer == 1 ? Outcome::TotalFull
                                          : code.integer == 2 ? Outcome::CountFull
                                                              : Outcome::UsersFull);
            result.changed = userTriples(reply.array[3]);
        }
        done(std::move(result));
    });
}

void RedisStorage::users(std::function<void(bool, std::string, std::vector<UserRecord>)> done) {
    if (!up_ || closing_) {
        asio::post(loop_, [done = std::move(done)] { done(false, "Redis unreachable", {}); });
        return;
    }
    eval(Script::Users, {}, [done = std::move(done)](bool ok, Reply reply) {
        const auto why = failure(ok, reply);
        if (!why.empty())
            return done(false, why, {});
        std::vector<UserRecord> users;
        const auto& a = reply.array;
        for (std::size_t i = 0; i + 3 < a.size(); i += 4)
            users.push_back({a[i].str, a[i + 1].str, toU16(a[i + 2]), toInt(a[i + 3])});
        std::sort(users.begin(), users.end(), [](const auto& x, const auto& y) { return x.user < y.user; });
        done(true, "", std::move(users));
    });
}

void RedisStorage::forget(std::vector<std::string> users, std::function<void(ChangeResult)> done) {
    if (refuse(done))
        return;
    eval(Script::Forget, std::move(users), [done = std::move(done)](bool ok, Reply reply) {
        ChangeResult result;
        result.message = failure(ok, reply);
        result.ok = result.message.empty();
        for (const auto& user : reply.array)
            result.removed.push_back(user.str);
        done(std::move(result));
    });
}

void RedisStorage::undo(std::function<void(ChangeResult)> done) {
    if (refuse(done))
        return;
    eval(Script::Undo, {}, [done = std::move(done)](bool ok, Reply reply) {
        ChangeResult result;
        result.message = failure(ok, reply);
        if (result.message.empty() && reply.array.size() == 4) {
            result.ok = true;
            result.total = toU16(reply.array[2]);
            result.message =
                undoMessage(reply.array[0].str, utcTime(toInt(reply.array[1])), toInt(reply.array[3]) != 0);
        } else if (result.message.empty()) {
            result.message = "nothing to undo";
        }
        done(std::move(result));
    });
}

void RedisStorage::setTotal(std::uint16_t total, std::function<void(ChangeResult)> done) {
    if (refuse(done))
        return;
    eval(Script::Set, {std::to_string(total)}, [total, done = std::move(done)](bool ok, Reply reply) {
        ChangeResult result;
        result.message = failure(ok, reply);
        result.ok = result.message.empty();
        result.total = total;
        if (result.ok)
            result.message = "total set to " + std::to_string(total);
        done(std::move(result));
    });
}

void RedisStorage::history(std::size_t n,
                           std::function<void(bool, std::string, std::vector<HistoryEntry>)> done) {
    if (!up_ || !commands_) {
        asio::post(loop_, [done = std::move(done)] { done(false, "Redis unreachable", {}); });
        return;
    }
    commands_->command({"XREVRANGE", "brannoc:history", "+", "-", "COUNT", std::to_string(n)},
                       [done = std::move(done)](bool ok, Reply reply) {
                           const auto why = failure(ok, reply);
                           if (!why.empty())
                               return done(false, why, {});
                           std::vector<HistoryEntry> entries;
                           for (auto it = reply.array.rbegin(); it != reply.array.rend(); ++it) {
                               if (it->array.size() != 2 || it->array[1].array.size() != 4)
                                   continue;
                               const auto& fields = it->array[1].array;
                               entries.push_back({fields[1].str, toInt(fields[3])});
                           }
                           done(true, "", std::move(entries));
                       });
}

void RedisStorage::backup(std::string, std::function<void(bool, std::string)> done) {
    asio::post(loop_, [done = std::move(done)] {
        done(false, "backup is for the SQLite tally; with Redis, Redis's own persistence (its append-only "
                    "file and snapshots) is the backup");
    });
}

void RedisStorage::presence(const std::string& user, const std::string& display, bool online) {
    if (online)
        local_[user] = display;
    else
        local_.erase(user);
    // While Redis is away the change waits: the next announcement carries every user. During a
    // resync the announcement may already be on its way, so the change follows it.
    if (up_ || resyncing_)
        eval(Script::Presence, {process_, user, display, online ? "1" : "0"}, [](bool, Reply) {});
}

std::string RedisStorage::describe() const {
    std::string text = "store: Redis at " + host_ + ":" + std::to_string(port_) +
                       (up_ ? " (reachable)" : " (unreachable)") + ", this process " + process_ + "\n";
    text += "peer processes: " + std::to_string(peers_.size());
    for (std::size_t i = 0; i < peers_.size(); ++i)
        text += (i == 0 ? " (" : ", ") + peers_[i] + (i + 1 == peers_.size() ? ")" : "");
    return text + "\n";
}

void RedisStorage::close(std::function<void()> done) {
    beat_.cancel();
    retry_.cancel();
    resolver_.cancel();
    const bool up = up_ && !closing_;
    closing_ = true;
    auto finish = [this, done = std::move(done)](bool, Reply) {
        up_ = false;
        if (commands_)
            commands_->close();
        if (events_)
            events_->close();
        done();
    };
    if (up)
        eval(Script::Leave, {process_}, std::move(finish));
    else
        asio::post(loop_, [finish] { finish(false, Reply{}); });
}

} // namespace server

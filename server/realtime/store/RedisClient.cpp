#include "server/realtime/store/RedisClient.hpp"

#include <hiredis/async.h>
#include <hiredis/hiredis.h>

namespace redis {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

namespace {

Reply convert(const redisReply* r) {
    Reply out;
    switch (r->type) {
    case REDIS_REPLY_STRING:
        out.type = Reply::Type::String;
        break;
    case REDIS_REPLY_STATUS:
        out.type = Reply::Type::Status;
        break;
    case REDIS_REPLY_ERROR:
        out.type = Reply::Type::Error;
        break;
    case REDIS_REPLY_INTEGER:
        out.type = Reply::Type::Integer;
        out.integer = r->integer;
        return out;
    case REDIS_REPLY_ARRAY:
        out.type = Reply::Type::Array;
        for (std::size_t i = 0; i < r->elements; ++i)
            out.array.push_back(convert(r->element[i]));
        return out;
    default:
        return out;
    }
    out.str.assign(r->str, r->len);
    return out;
}

// The hooks hiredis calls to start and stop watching its socket: one-shot Asio waits on the
// descriptor, armed again after each turn for as long as hiredis wants them.
struct Events {
    Events(asio::io_context& loop, int fd, redisAsyncContext* context) : descriptor(loop, fd), ac(context) {}
    asio::posix::stream_descriptor descriptor;
    redisAsyncContext* ac; // null once hiredis has cleaned up
    bool wantRead = false, wantWrite = false, readArmed = false, writeArmed = false;
};

// One wait per direction at a time; after each turn hiredis says whether it wants another.
void arm(const std::shared_ptr<Events>& e, bool write) {
    bool& armed = write ? e->writeArmed : e->readArmed;
    if (armed || !e->ac)
        return;
    armed = true;
    const auto direction =
        write ? asio::posix::descriptor_base::wait_write : asio::posix::descriptor_base::wait_read;
    e->descriptor.async_wait(direction, [e, write](boost::system::error_code ec) {
        (write ? e->writeArmed : e->readArmed) = false;
        const bool& wanted = write ? e->wantWrite : e->wantRead;
        if (ec || !e->ac || !wanted)
            return;
        write ? redisAsyncHandleWrite(e->ac) : redisAsyncHandleRead(e->ac);
        if (e->ac && wanted)
            arm(e, write);
    });
}

std::shared_ptr<Events>& events(void* data) {
    return *static_cast<std::shared_ptr<Events>*>(data);
}

void addRead(void* data) {
    events(data)->wantRead = true;
    arm(events(data), false);
}
void delRead(void* data) {
    events(data)->wantRead = false;
}
void addWrite(void* data) {
    events(data)->wantWrite = true;
    arm(events(data), true);
}
void delWrite(void* data) {
    events(data)->wantWrite = false;
}
void cleanup(void* data) {
    auto* owner = static_cast<std::shared_ptr<Events>*>(data);
    auto& e = *owner;
    e->ac = nullptr;
    // hiredis closes the socket itself; the waits still pending end as cancelled.
    boost::system::error_code ignored;
    e->descriptor.cancel(ignored);
    e->descriptor.release();
    delete owner;
}

} // namespace

struct Connection::State : std::enable_shared_from_this<State> {
    explicit State(asio::io_context& l) : loop(l), timer(l) {}
    asio::io_context& loop;
    redisAsyncContext* ac = nullptr;
    asio::steady_timer timer;
    std::deque<Clock::time_point> waiting; // when each unanswered command (or the connect) began
    bool connected = false;
    bool ended = false;
    std::function<void(bool, std::string)> onConnected;
    std::function<void(std::string)> onLost;

    void started() {
        waiting.push_back(Clock::now());
        watch();
    }
    void answered() {
        if (!waiting.empty())
            waiting.pop_front();
    }
    void watch() {
        if (waiting.empty() || ended)
            return;
        timer.expires_at(waiting.front() + replyLimit);
        timer.async_wait([self = shared_from_this()](boost::system::error_code ec) {
            if (ec || self->ended || self->waiting.empty())
                return;
            if (Clock::now() - self->waiting.front() >= replyLimit)
                self->end("no reply within " + std::to_string(replyLimit.count()) + " ms");
            else
                self->watch();
        });
    }
    // Reports the end once, from the loop, then frees the context (its waiting callbacks fail).
    void end(const std::string& why) {
        if (ended)
            return;
        ended = true;
        timer.cancel();
        if (!connected && onConnected)
            asio::post(loop, [report = onConnected, why] { report(false, why); });
        else if (connected && onLost)
            asio::post(loop, [report = onLost, why] { report(why); });
        onConnected = nullptr;
        onLost = nullptr;
        if (ac) {
            auto* context = ac;
            ac = nullptr;
            redisAsyncFree(context);
        }
    }
};

namespace {

// What one hiredis callback carries: the state (kept alive until the reply) and the handler.
struct Pending {
    std::shared_ptr<Connection::State> state;
    Callback done;
    std::function<void()> subscribed;
    std::function<void(std::string)> message;
    bool subscription = false;
};

void onReply(redisAsyncContext*, void* r, void* privdata) {
    auto* pending = static_cast<Pending*>(privdata);
    auto* reply = static_cast<redisReply*>(r);
    auto& state = *pending->state;
    if (pending->subscription) {
        if (!reply) {
            delete pending;
            return;
        }
        if (reply->type == REDIS_REPLY_ARRAY && reply->elements == 3 && reply->element[0]->str) {
            const std::string kind(reply->element[0]->str, reply->element[0]->len);
            if (kind == "subscribe") {
                state.answered();
                if (pending->subscribed)
                    asio::post(state.loop, std::exchange(pending->subscribed, nullptr));
            } else if (kind == "message" && reply->element[2]->str) {
                // Posted like every completion, so that the handler may end this connection.
                asio::post(state.loop, [handler = pending->message,
                                        text = std::string(reply->element[2]->str, reply->element[2]->len)] {
                    handler(text);
                });
            }
        }
        return;
    }
    if (reply)
        state.answered();
    Reply value;
    if (reply)
        value = convert(reply);
    else
        value.str = "the connection to Redis ended";
    const bool ok = reply != nullptr;
    asio::post(state.loop, [done = std::move(pending->done), ok, value = std::move(value)]() mutable {
        done(ok, std::move(value));
    });
    delete pending;
}

void onConnect(const redisAsyncContext* ac, int status) {
    auto* state = static_cast<Connection::State*>(ac->data);
    if (!state || state->ended)
        return;
    state->answered();
    if (status != REDIS_OK) {
        // hiredis frees the context itself after this call.
        state->ac = nullptr;
        state->end(ac->errstr[0] ? ac->errstr : "cannot connect");
        return;
    }
    state->connected = true;
    if (state->onConnected)
        asio::post(state->loop, [self = state->shared_from_this()] {
            if (self->onConnected)
                std::exchange(self->onConnected, nullptr)(true, "");
        });
    state->watch();
}

void onDisconnect(const redisAsyncContext* ac, int) {
    auto* state = static_cast<Connection::State*>(ac->data);
    if (!state || state->ended)
        return;
    // hiredis frees the context itself after this call.
    state->ac = nullptr;
    state->end(ac->errstr[0] ? ac->errstr : "Redis closed the connection");
}

} // namespace

Connection::Connection(asio::io_context& loop, const std::string& ip, std::uint16_t port,
                       std::function<void(bool, std::string)> connected,
                       std::function<void(std::string)> lost)
    : state_(std::make_shared<State>(loop)) {
    state_->onConnected = std::move(connected);
    state_->onLost = std::move(lost);
    redisAsyncContext* ac = redisAsyncConnect(ip.c_str(), port);
    if (!ac || ac->err) {
        const std::string why = ac ? ac->errstr : "out of memory";
        if (ac)
            redisAsyncFree(ac);
        state_->end(why);
        return;
    }
    state_->ac = ac;
    ac->data = state_.get();
    redisAsyncSetConnectCallback(ac, onConnect);
    redisAsyncSetDisconnectCallback(ac, onDisconnect);
    auto* owner = new std::shared_ptr<Events>(std::make_shared<Events>(loop, ac->c.fd, ac));
    ac->ev.data = owner;
    ac->ev.addRead = addRead;
    ac->ev.delRead = delRead;
    ac->ev.addWrite = addWrite;
    ac->ev.delWrite = delWrite;
    ac->ev.cleanup = cleanup;
    // The socket turns writable once the non-blocking connect is done (or has failed).
    addWrite(owner);
    state_->started();
}

Connection::~Connection() {
    close();
}

void Connection::close() {
    state_->onConnected = nullptr;
    state_->onLost = nullptr;
    state_->end("closed");
}

void Connection::command(std::vector<std::string> args, Callback done) {
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    for (const auto& arg : args) {
        argv.push_back(arg.data());
        lengths.push_back(arg.size());
    }
    auto* pending = new Pending{state_, std::move(done), nullptr, nullptr, false};
    if (!state_->ac || state_->ended ||
        redisAsyncCommandArgv(state_->ac, onReply, pending, static_cast<int>(argv.size()), argv.data(),
                              lengths.data()) != REDIS_OK) {
        Reply why;
        why.str = "Redis is not connected";
        asio::post(state_->loop, [done = std::move(pending->done), why] { done(false, why); });
        delete pending;
        return;
    }
    state_->started();
}

void Connection::subscribe(const std::string& channel, std::function<void()> subscribed,
                           std::function<void(std::string)> message) {
    auto* pending = new Pending{state_, nullptr, std::move(subscribed), std::move(message), true};
    const char* argv[] = {"SUBSCRIBE", channel.data()};
    const std::size_t lengths[] = {9, channel.size()};
    if (!state_->ac || state_->ended ||
        redisAsyncCommandArgv(state_->ac, onReply, pending, 2, argv, lengths) != REDIS_OK) {
        delete pending;
        return;
    }
    state_->started();
}

} // namespace redis

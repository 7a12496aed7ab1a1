#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The realtime protocol's bytes: each message is a frame (a 32-bit big-endian size, then the
// data) whose data is the message name and its fields. Strings are a 32-bit big-endian length and
// the bytes; numbers are 16-bit big-endian.
namespace wire {

constexpr std::size_t maxFrame = 64 * 1024; // a real client's largest message is under 200 bytes
constexpr std::size_t maxName = 64;         // user and display names, in bytes

// Builds one framed message.
class Writer {
public:
    explicit Writer(std::string_view name);
    Writer& str(std::string_view text);
    Writer& u16(std::uint16_t value);
    // The size prefix followed by the data.
    std::string frame() const;

private:
    std::string data_;
};

// Reads fields from the data of one frame; each read fails rather than run past the end.
class Reader {
public:
    explicit Reader(std::string_view data) : data_(data) {}
    bool str(std::string& out);
    bool u16(std::uint16_t& out);
    bool atEnd() const { return pos_ == data_.size(); }

private:
    std::string_view data_;
    std::size_t pos_ = 0;
};

// Cuts a byte stream into frames, refusing any frame larger than the limit before reading it.
class FrameReader {
public:
    enum class Status { NeedMore, Frame, TooLarge };
    explicit FrameReader(std::size_t limit = maxFrame) : limit_(limit) {}
    void append(const char* bytes, std::size_t size) { buffer_.append(bytes, size); }
    // On Frame, data holds the next frame's data. TooLarge is final.
    Status next(std::string& data);
    std::size_t buffered() const { return buffer_.size() - pos_; }

private:
    std::size_t limit_;
    std::string buffer_;
    std::size_t pos_ = 0;
};

struct ClientMessage {
    enum class Kind { Ping, Whoami, Increment } kind = Kind::Ping;
    std::string user;    // whoami
    std::string display; // whoami
};

// Reads one message from a client; on failure returns false and says why in error.
bool parseClientMessage(std::string_view data, ClientMessage& message, std::string& error);

} // namespace wire

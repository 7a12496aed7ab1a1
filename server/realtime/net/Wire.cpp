#include "server/realtime/net/Wire.hpp"

#include "text/SafeText.hpp"

namespace wire {

namespace {

void putU32(std::string& out, std::uint32_t value) {
    out.push_back(static_cast<char>(value >> 24));
    out.push_back(static_cast<char>(value >> 16));
    out.push_back(static_cast<char>(value >> 8));
    out.push_back(static_cast<char>(value));
}

std::uint32_t getU32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return static_cast<std::uint32_t>(u[0]) << 24 | static_cast<std::uint32_t>(u[1]) << 16 |
           static_cast<std::uint32_t>(u[2]) << 8 | static_cast<std::uint32_t>(u[3]);
}

} // namespace

Writer::Writer(std::string_view name) {
    str(name);
}

Writer& Writer::str(std::string_view text) {
    putU32(data_, static_cast<std::uint32_t>(text.size()));
    data_.append(text);
    return *this;
}

Writer& Writer::u16(std::uint16_t value) {
    data_.push_back(static_cast<char>(value >> 8));
    data_.push_back(static_cast<char>(value & 0xFF));
    return *this;
}

std::string Writer::frame() const {
    std::string out;
    out.reserve(4 + data_.size());
    putU32(out, static_cast<std::uint32_t>(data_.size()));
    return out + data_;
}

bool Reader::str(std::string& out) {
    if (data_.size() - pos_ < 4)
        return false;
    const std::uint32_t size = getU32(data_.data() + pos_);
    if (data_.size() - pos_ - 4 < size)
        return false;
    out.assign(data_.data() + pos_ + 4, size);
    pos_ += 4 + size;
    return true;
}

bool Reader::u16(std::uint16_t& out) {
    if (data_.size() - pos_ < 2)
        return false;
    const auto* u = reinterpret_cast<const unsigned char*>(data_.data() + pos_);
    out = static_cast<std::uint16_t>(u[0] << 8 | u[1]);
    pos_ += 2;
    return true;
}

FrameReader::Status FrameReader::next(std::string& data) {
    if (buffered() < 4)
        return Status::NeedMore;
    const std::uint32_t size = getU32(buffer_.data() + pos_);
    if (size > limit_)
        return Status::TooLarge;
    if (buffered() - 4 < size)
        return Status::NeedMore;
    data.assign(buffer_, pos_ + 4, size);
    pos_ += 4 + size;
    // Drop consumed bytes once they outweigh what is left, so the buffer never creeps.
    if (pos_ > buffer_.size() / 2) {
        buffer_.erase(0, pos_);
        pos_ = 0;
    }
    return Status::Frame;
}

bool parseClientMessage(std::string_view data, ClientMessage& message, std::string& error) {
    Reader reader(data);
    std::string name;
    if (!reader.str(name)) {
        error = "malformed message";
        return false;
    }
    if (name == "ping") {
        message.kind = ClientMessage::Kind::Ping;
    } else if (name == "increment") {
        message.kind = ClientMessage::Kind::Increment;
    } else if (name == "whoami") {
        message.kind = ClientMessage::Kind::Whoami;
        if (!reader.str(message.user) || !reader.str(message.display)) {
            error = "malformed whoami";
            return false;
        }
        if (message.user.size() > maxName || message.display.size() > maxName) {
            error = "whoami name over 64 bytes";
            return false;
        }
    } else {
        error = "unknown message \"" + SafeText::printable(name.substr(0, maxName)) + "\"";
        return false;
    }
    if (!reader.atEnd()) {
        error = "malformed " + name + " (extra bytes)";
        return false;
    }
    return true;
}

} // namespace wire

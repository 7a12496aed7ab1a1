// Feeds arbitrary bytes to the server's frame reader and message parser, as a hostile peer would.
// Whatever they accept must come out the same when written again and read back.

#include "server/realtime/Wire.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first byte picks how the stream is cut into reads, so frames straddle them.
    const std::size_t chunk = size > 0 ? 1 + data[0] % 64 : 1;
    wire::FrameReader frames;
    std::string frame;
    for (std::size_t at = size > 0 ? 1 : 0; at < size; at += chunk) {
        const std::size_t n = at + chunk <= size ? chunk : size - at;
        frames.append(reinterpret_cast<const char*>(data + at), n);
        for (;;) {
            const auto status = frames.next(frame);
            if (status == wire::FrameReader::Status::TooLarge)
                return 0;
            if (status == wire::FrameReader::Status::NeedMore)
                break;
            if (frame.size() > wire::maxFrame)
                std::abort();
            wire::ClientMessage message;
            std::string error;
            if (!wire::parseClientMessage(frame, message, error)) {
                if (error.empty())
                    std::abort();
                continue;
            }
            using Kind = wire::ClientMessage::Kind;
            const char* name = message.kind == Kind::Ping        ? "ping"
                               : message.kind == Kind::Increment ? "increment"
                                                                 : "whoami";
            wire::Writer again(name);
            if (message.kind == Kind::Whoami) {
                if (message.user.size() > wire::maxName || message.display.size() > wire::maxName)
                    std::abort();
                again.str(message.user).str(message.display);
            }
            if (again.frame().substr(4) != frame)
                std::abort();
        }
    }
    return 0;
}

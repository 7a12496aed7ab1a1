// Arbitrary bytes as a hostile peer's stream, cut into reads as the first byte says: whatever the
// frame reader and message parser accept must come out the same when written again.

#include "server/realtime/Wire.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::size_t chunk = size > 0 ? 1 + data[0] % 64 : 1;
    wire::FrameReader frames;
    std::string frame;
    for (std::size_t at = size > 0 ? 1 : 0; at < size; at += chunk) {
        frames.append(reinterpret_cast<const char*>(data + at), std::min(chunk, size - at));
        for (auto status = frames.next(frame); status != wire::FrameReader::Status::NeedMore;
             status = frames.next(frame)) {
            if (status == wire::FrameReader::Status::TooLarge)
                return 0;
            wire::ClientMessage message;
            std::string error;
            const bool ok = wire::parseClientMessage(frame, message, error);
            // A refusal always says why; an acceptance says nothing.
            if (frame.size() > wire::maxFrame || ok != error.empty())
                std::abort();
            if (!ok)
                continue;
            using Kind = wire::ClientMessage::Kind;
            wire::Writer again(message.kind == Kind::Ping        ? "ping"
                               : message.kind == Kind::Increment ? "increment"
                                                                 : "whoami");
            if (message.kind == Kind::Whoami)
                again.str(message.user).str(message.display);
            if (message.user.size() > wire::maxName || message.display.size() > wire::maxName ||
                again.frame().substr(4) != frame)
                std::abort();
        }
    }
    return 0;
}

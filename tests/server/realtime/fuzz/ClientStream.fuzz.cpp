// Arbitrary bytes as a hostile peer's stream, cut into reads as the first byte says: whatever the
// frame reader and message parser accept must come out the same when written again, with names of
// at most 64 bytes; a refusal always says why.

#include "server/realtime/net/Wire.hpp"

#include <algorithm>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* const names[] = {"ping", "whoami", "increment"}; // by ClientMessage::Kind
    const std::size_t chunk = size > 0 ? 1 + data[0] % 64 : 1;
    wire::FrameReader frames;
    std::string frame;
    for (std::size_t at = std::min<std::size_t>(size, 1); at < size; at += chunk) {
        frames.append(reinterpret_cast<const char*>(data + at), std::min(chunk, size - at));
        while (frames.next(frame) == wire::FrameReader::Status::Frame) {
            wire::ClientMessage message;
            std::string error;
            const bool ok = wire::parseClientMessage(frame, message, error);
            wire::Writer again(names[static_cast<int>(message.kind)]);
            if (message.kind == wire::ClientMessage::Kind::Whoami)
                again.str(message.user).str(message.display);
            if (frame.size() > wire::maxFrame || ok != error.empty() ||
                (ok && (message.user.size() > wire::maxName || message.display.size() > wire::maxName ||
                        again.frame().substr(4) != frame)))
                std::abort();
        }
    }
    return 0;
}

#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Gathers the server's frames (a 32-bit big-endian size, then that many bytes of packet data) from
// the stream a piece at a time. A size over the limit is refused as soon as its prefix is in, before
// any of the body is kept, so no peer can make the client grow toward the size it announces.
struct FrameReader {
    // Far above the longest real message (a full list of 65535 users); bounds what one frame holds.
    static constexpr std::uint32_t sizeLimit = 16u << 20;

    enum class Progress { Incomplete, Whole, TooLarge };

    // How many bytes the next read may take, at most chunk, without reaching into the next frame.
    std::size_t wanted(std::size_t chunk) const;
    // Takes bytes just read (no more than wanted() allowed). After Whole, body() is the frame's data
    // until clear().
    Progress take(const char* data, std::size_t size);
    const std::vector<char>& body() const { return body_; }
    // Forgets any partial frame and gives back its memory.
    void clear();

private:
    std::uint32_t announced() const;

    unsigned char prefix_[4] = {};
    std::size_t prefixHave_ = 0;
    std::vector<char> body_;
};

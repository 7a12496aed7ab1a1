#include "link/FrameReader.hpp"

#include <algorithm>

std::uint32_t FrameReader::announced() const {
    return (std::uint32_t{prefix_[0]} << 24) | (std::uint32_t{prefix_[1]} << 16) |
           (std::uint32_t{prefix_[2]} << 8) | prefix_[3];
}

std::size_t FrameReader::wanted(std::size_t chunk) const {
    if (prefixHave_ < sizeof prefix_)
        return std::min(sizeof prefix_ - prefixHave_, chunk);
    return std::min<std::size_t>(announced() - body_.size(), chunk);
}

FrameReader::Progress FrameReader::take(const char* data, std::size_t size) {
    std::size_t at = 0;
    while (prefixHave_ < sizeof prefix_ && at < size)
        prefix_[prefixHave_++] = static_cast<unsigned char>(data[at++]);
    if (prefixHave_ < sizeof prefix_)
        return Progress::Incomplete;
    if (announced() > sizeLimit)
        return Progress::TooLarge;
    body_.insert(body_.end(), data + at, data + size);
    return body_.size() == announced() ? Progress::Whole : Progress::Incomplete;
}

void FrameReader::clear() {
    prefixHave_ = 0;
    body_ = std::vector<char>();
}

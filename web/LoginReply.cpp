#include "web/LoginReply.hpp"

#include <algorithm>
#include <limits>
#include <utility>

std::vector<std::string> splitTopLevel(std::string text, std::string delimiter) {
    std::vector<std::string> pieces;
    if (text.empty())
        return pieces;
    // An empty delimiter would cut an empty piece at the same place forever.
    if (delimiter.empty()) {
        pieces.push_back(std::move(text));
        return pieces;
    }
    // Offsets into the text rather than copies of the remainder keep a reply of many lines linear.
    bool inQuotes = false;
    int depth = 0;
    std::size_t start = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char c = text[pos];
        if (c == '"')
            inQuotes = !inQuotes;
        else if (c == '{')
            ++depth;
        else if (c == '}' && depth > 0)
            --depth;
        if (!inQuotes && depth == 0 && text.compare(pos, delimiter.size(), delimiter) == 0) {
            pieces.push_back(text.substr(start, pos - start));
            start = pos + delimiter.size();
            pos = start;
            continue;
        }
        ++pos;
    }
    // A delimiter at the very end leaves nothing to cut and adds no empty piece.
    if (start < text.size())
        pieces.push_back(text.substr(start));
    return pieces;
}

std::optional<std::int32_t> readLoginInteger(const std::string& value) {
    std::size_t pos = 0;
    // The blanks of the C locale, as the standard conversion skips them.
    while (pos < value.size() && (value[pos] == ' ' || (value[pos] >= '\t' && value[pos] <= '\r')))
        ++pos;
    bool negative = false;
    if (pos < value.size() && (value[pos] == '+' || value[pos] == '-')) {
        negative = value[pos] == '-';
        ++pos;
    }
    if (pos >= value.size() || value[pos] < '0' || value[pos] > '9')
        return std::nullopt;
    // Clamped just past the negative limit's magnitude so a long digit run cannot overflow.
    const std::int64_t clamp = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 2;
    std::int64_t magnitude = 0;
    for (; pos < value.size() && value[pos] >= '0' && value[pos] <= '9'; ++pos)
        magnitude = std::min(clamp, magnitude * 10 + (value[pos] - '0'));
    const std::int64_t result = negative ? -magnitude : magnitude;
    if (result < std::numeric_limits<std::int32_t>::min() ||
        result > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(result);
}

namespace {

// A value that does not read as an integer leaves what an earlier line set.
void readInteger(std::optional<std::int32_t>& field, const std::string& value) {
    if (const auto number = readLoginInteger(value))
        field = number;
}

} // namespace

std::optional<LoginReply> readLoginReply(const std::string& body) {
    const std::vector<std::string> lines = splitTopLevel(body, "\n");
    if (lines.size() < 2)
        return std::nullopt;
    LoginReply reply;
    for (const std::string& line : lines) {
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = line.substr(0, equals);
        std::string value = line.substr(equals + 1);
        if (key == "id")
            readInteger(reply.id, value);
        else if (key == "rank")
            readInteger(reply.rank, value);
        else if (key == "user")
            reply.userName = std::move(value);
        else if (key == "disp")
            reply.displayName = std::move(value);
        else if (key == "real")
            reply.realName = std::move(value);
        else if (key == "sex")
            readInteger(reply.sex, value);
        else if (key == "grps")
            reply.groups = splitTopLevel(std::move(value), ",");
    }
    return reply;
}

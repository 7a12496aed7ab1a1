#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Cuts text at each delimiter outside double quotes and curly braces. Pieces keep their quotes
// and braces; a trailing delimiter adds no empty piece. An empty delimiter gives the text whole.
std::vector<std::string> splitTopLevel(std::string text, std::string delimiter);

// Reads a signed 32-bit decimal: leading blanks, one sign, the leading digits. Nothing when no
// digit starts the value or it is out of range.
std::optional<std::int32_t> readLoginInteger(const std::string& value);

// The profile fields a login reply set. A field stays empty when no line set it or when its
// integer did not read; a later line for the same key wins.
struct LoginReply {
    std::optional<std::int32_t> id;
    std::optional<std::int32_t> rank;
    std::optional<std::vector<std::string>> groups;
    std::optional<std::string> userName;
    std::optional<std::string> displayName;
    std::optional<std::string> realName;
    std::optional<std::int32_t> sex;
};

// Reads the "key=value" lines of a login reply. Nothing when it holds fewer than two lines.
// Any bytes are accepted; unknown keys and lines without "=" are passed over.
std::optional<LoginReply> readLoginReply(const std::string& body);

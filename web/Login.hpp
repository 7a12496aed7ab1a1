#pragma once

#include "web/UserProfile.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Cuts text at each delimiter outside double quotes and curly braces. Pieces keep their quotes
// and braces; a trailing delimiter adds no empty piece.
std::vector<std::string> splitTopLevel(std::string text, std::string delimiter);

// Reads a signed 32-bit decimal: leading blanks, one sign, the leading digits. Nothing when no
// digit starts the value or it is out of range.
std::optional<std::int32_t> readLoginInteger(const std::string& value);

// Applies a login reply to the record. False (and only the token emptied) when the reply holds
// fewer than two lines. Never throws; a field whose integer does not read keeps its value.
bool applyLoginReply(UserProfile& profile, const std::string& body);

// Signs in with the token at the web service and fills currentUser, avatar included.
// True when the reply held at least two lines.
bool loginWithToken(std::string token);

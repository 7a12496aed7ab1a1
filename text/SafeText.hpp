#pragma once

#include <string>
#include <string_view>

// The one rule for text from a peer or a file that reaches a terminal, a log or an admin's reply.
namespace SafeText {

// Text made safe to quote in a line, so it cannot move the cursor, recolour or retitle a terminal:
// each control byte (0x00-0x1F, 0x7F) and each UTF-8 encoded C1 control (C2 80 to C2 9F) becomes
// '?'. Every other byte passes unchanged, so valid UTF-8 such as "€" is untouched.
std::string printable(std::string_view text);

// Whether printable() would change anything in text.
bool hasControl(std::string_view text);

} // namespace SafeText

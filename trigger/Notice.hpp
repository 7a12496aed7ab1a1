#pragma once

#include <cstdio>
#include <string>

// The client's own notices beside the console log: standard output belongs to the log's fixed
// lines, so these go to standard error, each one whole line starting with "brannoc: ".
namespace Notice {

inline void line(const std::string& text) {
    std::fprintf(stderr, "brannoc: %s\n", text.c_str());
    std::fflush(stderr);
}

} // namespace Notice

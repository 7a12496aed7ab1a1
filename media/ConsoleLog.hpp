#pragma once

#include <sstream>
#include <string>

// The program's only diagnostic output: single lines on standard output, no levels, no file.
namespace ConsoleLog {

// Start-up banners; each carries exactly two escape bytes and resets its colour before the line feed.
extern const char* const coreBanner;
extern const char* const assetBanner;

// Writes one whole line (text, line feed) to standard output and flushes it.
void writeLine(const std::string& text);

// Composes the pieces with the stream's default formatting (640.0f prints as 640) and writes them
// as one line.
template <typename... Pieces> void line(const Pieces&... pieces) {
    std::ostringstream text;
    (text << ... << pieces);
    writeLine(text.str());
}

} // namespace ConsoleLog

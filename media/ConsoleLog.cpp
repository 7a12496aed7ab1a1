#include "media/ConsoleLog.hpp"

#include <iostream>

namespace ConsoleLog {

const char* const coreBanner = "\x1b[36;1m[ Caldre : Initializing ]\x1b[0m";
const char* const assetBanner = "\x1b[35;1m[ Ossivar : Initializing ]\x1b[0m";

void writeLine(const std::string& text) {
    // The main thread and the packet thread both log; handing the stream the whole line in one
    // write keeps their lines from interleaving piece by piece.
    std::string whole;
    whole.reserve(text.size() + 1);
    whole += text;
    whole += '\n';
    std::cout.write(whole.data(), static_cast<std::streamsize>(whole.size()));
    std::cout.flush();
}

} // namespace ConsoleLog

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

std::string printable(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) {
            shown += '?';
        } else if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0 &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80) {
            shown += '?';
            ++i;
        } else {
            shown += text[i];
        }
    }
    return shown;
}

} // namespace ConsoleLog

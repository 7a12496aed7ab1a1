#include "trigger/ClientConfig.hpp"

#include "trigger/Notice.hpp"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

std::string trimmed(const std::string& text) {
    const char* const blank = " \t\r";
    const std::size_t first = text.find_first_not_of(blank);
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(blank) - first + 1);
}

} // namespace

namespace ClientConfig {

Settings parse(const std::string& text, const std::string& name) {
    Settings settings;
    std::istringstream lines(text);
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        line = trimmed(line);
        if (line.empty() || line[0] == '#')
            continue;
        const std::string where = name + ":" + std::to_string(number) + ": ";
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos || trimmed(line.substr(0, equals)).empty()) {
            settings.problems.push_back(where + "not a setting (key = value): " + line);
            continue;
        }
        const std::string key = trimmed(line.substr(0, equals));
        if (key == "hotkey")
            settings.hotkey = trimmed(line.substr(equals + 1));
        else
            settings.problems.push_back(where + "unknown setting \"" + key + "\"");
    }
    return settings;
}

std::string path(const char* xdgConfigHome, const char* home) {
    if (xdgConfigHome != nullptr && xdgConfigHome[0] == '/')
        return std::string(xdgConfigHome) + "/brannoc/client.conf";
    if (home != nullptr && home[0] == '/')
        return std::string(home) + "/.config/brannoc/client.conf";
    return "";
}

std::optional<std::string> hotkey() {
    const std::string file = path(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
    Settings settings;
    if (std::ifstream in{file}; !file.empty() && in)
        settings = parse({std::istreambuf_iterator<char>(in), {}}, file);
    for (const std::string& problem : settings.problems)
        Notice::line(problem);
    if (const char* chosen = std::getenv("BRANNOC_HOTKEY"))
        return std::string(chosen);
    return settings.hotkey;
}

} // namespace ClientConfig

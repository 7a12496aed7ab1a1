#pragma once

#include <optional>
#include <string>
#include <vector>

// The client's settings file (client.conf) and the environment variable that overrides it.
namespace ClientConfig {

struct Settings {
    std::optional<std::string> hotkey; // the text after "hotkey =", unchecked
    std::vector<std::string> problems; // one notice per line that is not a known setting
};

// Reads the file's text, named `name` in the notices: "key = value" lines, blank lines and lines
// starting with '#' skipped. A later line of the same setting wins.
Settings parse(const std::string& text, const std::string& name);

// Where the file is: below XDG_CONFIG_HOME when that is an absolute path, else below HOME's
// .config; empty when neither gives a place.
std::string path(const char* xdgConfigHome, const char* home);

// The hotkey setting: BRANNOC_HOTKEY when it is set (empty meaning none), else the file's. Writes
// a notice for each problem of the file; a missing or unreadable file is no setting, silently.
std::optional<std::string> hotkey();

} // namespace ClientConfig

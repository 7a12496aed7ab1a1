#pragma once

// brannoc-web's command line.

#include <cstddef>
#include <string>
#include <vector>

struct ServiceOptions {
    int port = 80;
    std::string bind = "0.0.0.0";
    std::string usersFile;
    std::string avatarsDir;
    std::string defaultAvatar;
    std::size_t maxConnections = 10000; // as brannoc-server's
    std::size_t maxPerAddress = 64;
    bool metrics = true; // GET /metrics
};

struct OptionsRead {
    enum class Action { Run, Help, Refuse } action = Action::Run;
    ServiceOptions options;
    std::string error; // one line, when refused
};

// Where things are when no flag says: the users file under the XDG config folder (or
// ~/.config), the default avatar in the asset tree beside the program.
struct OptionDefaults {
    std::string configHome; // $XDG_CONFIG_HOME, possibly empty
    std::string home;       // $HOME, possibly empty
    std::string programDir; // the folder holding the executable
};

// args excludes the program name. Accepts "--flag value" and "--flag=value". Never throws.
OptionsRead readServiceOptions(const std::vector<std::string>& args, const OptionDefaults& defaults);

std::string serviceUsage(const OptionDefaults& defaults);

#include "server/web/ServiceOptions.hpp"

#include <exception>

namespace {

std::string defaultUsersFile(const OptionDefaults& defaults) {
    // XDG asks that a relative XDG_CONFIG_HOME be ignored.
    if (!defaults.configHome.empty() && defaults.configHome[0] == '/')
        return defaults.configHome + "/brannoc/users";
    if (!defaults.home.empty())
        return defaults.home + "/.config/brannoc/users";
    return {};
}

bool readPort(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int value = std::stoi(text);
    if (value < 1 || value > 65535)
        return false;
    port = value;
    return true;
}

// As brannoc-server reads its caps: whole numbers from 1 to 1000000.
bool readCap(const std::string& text, std::size_t& cap) {
    if (text.empty() || text.size() > 7 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long value = std::stoul(text);
    if (value < 1 || value > 1000000)
        return false;
    cap = value;
    return true;
}

OptionsRead refuse(std::string error) {
    OptionsRead read;
    read.action = OptionsRead::Action::Refuse;
    read.error = std::move(error);
    return read;
}

OptionsRead read(const std::vector<std::string>& args, const OptionDefaults& defaults) {
    OptionsRead result;
    ServiceOptions& options = result.options;
    options.usersFile = defaultUsersFile(defaults);
    options.defaultAvatar =
        (defaults.programDir.empty() ? std::string(".") : defaults.programDir) + "/assets/web/default.jpg";
    for (std::size_t k = 0; k < args.size(); ++k) {
        std::string flag = args[k];
        std::string value;
        bool hasValue = false;
        if (const std::size_t equals = flag.find('=');
            flag.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = flag.substr(equals + 1);
            flag.resize(equals);
            hasValue = true;
        }
        if (flag == "--help" || flag == "-h") {
            result.action = OptionsRead::Action::Help;
            return result;
        }
        std::string* target = nullptr;
        if (flag == "--bind")
            target = &options.bind;
        else if (flag == "--users")
            target = &options.usersFile;
        else if (flag == "--avatars")
            target = &options.avatarsDir;
        else if (flag == "--default-avatar")
            target = &options.defaultAvatar;
        else if (flag != "--port" && flag != "--max-connections" && flag != "--max-per-address" &&
                 flag != "--metrics")
            return refuse("unknown option " + flag);
        if (!hasValue) {
            if (k + 1 >= args.size())
                return refuse(flag + " needs a value");
            value = args[++k];
        }
        if (value.empty())
            return refuse(flag + " needs a value");
        if (flag == "--port") {
            if (!readPort(value, options.port))
                return refuse("--port needs a number from 1 to 65535, not " + value);
            continue;
        }
        if (flag == "--metrics") {
            if (value != "yes" && value != "no")
                return refuse("--metrics takes yes or no, not " + value);
            options.metrics = value == "yes";
            continue;
        }
        if (!target) {
            if (!readCap(value, flag == "--max-connections" ? options.maxConnections : options.maxPerAddress))
                return refuse(flag + " needs a number from 1 to 1000000, not " + value);
            continue;
        }
        *target = value;
    }
    if (options.usersFile.empty())
        return refuse("no --users given and neither XDG_CONFIG_HOME nor HOME is set");
    return result;
}

} // namespace

OptionsRead readServiceOptions(const std::vector<std::string>& args, const OptionDefaults& defaults) {
    try {
        return read(args, defaults);
    } catch (const std::exception&) {
        return refuse("out of memory reading the options");
    }
}

std::string serviceUsage(const OptionDefaults& defaults) {
    std::string users = defaultUsersFile(defaults);
    if (users.empty())
        users = "none: XDG_CONFIG_HOME and HOME are unset";
    return "usage: brannoc-web [--port N] [--bind ADDR] [--users FILE] [--avatars DIR] [--default-avatar "
           "FILE]\n"
           "                   [--max-connections N] [--max-per-address N] [--metrics yes|no]\n"
           "Signs Brannoc clients in by token, and serves rank colours and avatars, over plain HTTP.\n"
           "\n"
           "  --port N               TCP port to listen on (default 80)\n"
           "  --bind ADDR            address to listen on (default 0.0.0.0, every interface)\n"
           "  --users FILE           the users file (default $XDG_CONFIG_HOME/brannoc/users, else\n"
           "                         ~/.config/brannoc/users; here: " +
           users +
           ")\n"
           "                         one user a line, tab-separated: token id rank user display real-name\n"
           "                         sex groups avatar; it must be readable by its owner alone\n"
           "  --avatars DIR          folder of avatar images named by user id (42.png, 42.jpg)\n"
           "  --default-avatar FILE  the picture for users without one (default assets/web/default.jpg\n"
           "                         beside this program)\n"
           "  --max-connections N    connections in all (default 10000); when all are open, a new one\n"
           "                         replaces the oldest that has not sent a whole request\n"
           "  --max-per-address N    connections from one address, an IPv6 one per /64 (default 64)\n"
           "  --metrics yes|no       serve GET /metrics for Prometheus (default yes)\n"
           "  --help                 this text\n"
           "\n"
           "SIGHUP reads the users file again; SIGINT or SIGTERM stop the service.\n"
           "Tokens travel in clear over HTTP: serve only on a network you trust.\n";
}

#include "server/realtime/Options.hpp"

#include <algorithm>
#include <cstdlib>

namespace server {

const char* const usage =
    "usage: brannoc-server [--bind ADDR] [--port N] [--db FILE] [--admin-socket FILE]\n"
    "                      [--max-connections N] [--max-per-address N]\n"
    "                      [--redis HOST:PORT] [--proxy-from ADDR[,ADDR...]]\n"
    "                      [--http-bind ADDR] [--http-port N (0: no overlay)] [--metrics yes|no]\n"
    "       brannoc-server [--db FILE | --admin-socket FILE] COMMAND\n"
    "commands: status | history [N] | users | forget USER... | undo | set N | backup FILE\n";

namespace {

// Whole decimal numbers only: "12abc", "-1" and "" are refused rather than half read.
bool number(const std::string& text, unsigned long max, unsigned long& value) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::strtoul(text.c_str(), nullptr, 10);
    return value <= max;
}

} // namespace

bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            options.mode = Options::Mode::Help;
            return true;
        }
        if (arg.rfind("--", 0) == 0) {
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return false;
            }
            const std::string& value = args[++i];
            unsigned long n = 0;
            if (arg == "--bind") {
                options.bind = value;
            } else if (arg == "--port") {
                if (!number(value, 65535, n) || n == 0) {
                    error = "--port must be 1 to 65535, not \"" + value + "\"";
                    return false;
                }
                options.port = static_cast<std::uint16_t>(n);
            } else if (arg == "--http-bind") {
                options.httpBind = value;
            } else if (arg == "--http-port") {
                if (!number(value, 65535, n)) {
                    error = "--http-port must be 0 to 65535, not \"" + value + "\"";
                    return false;
                }
                options.httpPort = static_cast<std::uint16_t>(n);
            } else if (arg == "--metrics") {
                if (value != "yes" && value != "no") {
                    error = "--metrics takes yes or no, not \"" + value + "\"";
                    return false;
                }
                options.metrics = value == "yes";
            } else if (arg == "--db") {
                options.database = value;
            } else if (arg == "--redis") {
                std::string host;
                std::uint16_t port = 0;
                if (!splitHostPort(value, host, port)) {
                    error = "--redis takes HOST:PORT, not \"" + value + "\"";
                    return false;
                }
                options.redis = value;
            } else if (arg == "--proxy-from") {
                std::size_t start = 0;
                while (start <= value.size()) {
                    const auto comma = value.find(',', start);
                    const auto item = value.substr(start, comma == std::string::npos ? comma : comma - start);
                    if (!item.empty())
                        options.proxyFrom.push_back(item);
                    if (comma == std::string::npos)
                        break;
                    start = comma + 1;
                }
            } else if (arg == "--admin-socket") {
                options.adminSocket = value;
            } else if (arg == "--max-connections" || arg == "--max-per-address") {
                if (!number(value, 1000000, n) || n == 0) {
                    error = arg + " must be a number from 1 to 1000000, not \"" + value + "\"";
                    return false;
                }
                (arg == "--max-connections" ? options.maxConnections : options.maxPerAddress) = n;
            } else {
                error = "unknown option " + arg;
                return false;
            }
            continue;
        }
        options.command.push_back(arg);
    }
    if (options.command.empty())
        return true;
    options.mode = Options::Mode::Admin;
    const auto& c = options.command;
    const std::string& name = c[0];
    unsigned long n = 0;
    if ((name == "status" || name == "undo" || name == "users") && c.size() == 1)
        return true;
    // The admin socket's line carries the names separated by tabs.
    const auto fits = [](const std::string& user) {
        return !user.empty() && user.find_first_of("\t\n") == std::string::npos;
    };
    if (name == "forget" && c.size() > 1 && std::all_of(c.begin() + 1, c.end(), fits))
        return true;
    if (name == "history" && (c.size() == 1 || (c.size() == 2 && number(c[1], 1000000, n) && n > 0)))
        return true;
    if (name == "set" && c.size() == 2 && number(c[1], 65535, n))
        return true;
    if (name == "backup" && c.size() == 2 && !c[1].empty())
        return true;
    if (name == "set")
        error = "set takes one total from 0 to 65535";
    else if (name == "history")
        error = "history takes at most one count from 1 to 1000000";
    else if (name == "backup")
        error = "backup takes one file name";
    else if (name == "forget")
        error = "forget takes one or more user names (no tab or line feed in them)";
    else if (name == "status" || name == "undo" || name == "users")
        error = name + " takes no argument";
    else
        error = "unknown command " + name;
    return false;
}

bool splitHostPort(const std::string& text, std::string& host, std::uint16_t& port) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    unsigned long n = 0;
    if (!number(text.substr(colon + 1), 65535, n) || n == 0)
        return false;
    port = static_cast<std::uint16_t>(n);
    return true;
}

std::string defaultDatabase(const char* xdgStateHome, const char* home) {
    std::string base;
    if (xdgStateHome && xdgStateHome[0] == '/')
        base = xdgStateHome;
    else
        base = std::string(home && home[0] ? home : ".") + "/.local/state";
    return base + "/brannoc/tally.db";
}

std::string defaultAdminSocket(const std::string& database) {
    const auto slash = database.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : database.substr(0, slash);
    return (folder.empty() ? "" : folder) + "/admin.sock";
}

} // namespace server

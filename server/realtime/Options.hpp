#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace server {

// What the command line asks for: serve, send one admin command to a running server, or help.
struct Options {
    enum class Mode { Serve, Admin, Help } mode = Mode::Serve;
    std::string bind = "0.0.0.0";
    std::uint16_t port = 34567;
    std::string httpBind;           // the overlay's address; empty: the same as bind
    std::uint16_t httpPort = 34580; // the overlay's port; 0: no overlay
    bool metrics = true;            // /metrics on the overlay's port
    std::string database;           // empty: the per-user default
    std::string adminSocket;        // empty: beside the database
    std::size_t maxConnections = 10000;
    std::size_t maxPerAddress = 64;
    std::string redis;                  // HOST:PORT of a Redis holding the tally; empty: SQLite
    std::vector<std::string> proxyFrom; // addresses whose connections start with a PROXY v2 header
    std::vector<std::string> command;   // the admin command and its arguments
};

// Reads the arguments after the program name; false with a one-line reason when they are wrong.
bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error);

// Splits "HOST:PORT" (or "[V6]:PORT"); false when the port is missing or not 1 to 65535.
bool splitHostPort(const std::string& text, std::string& host, std::uint16_t& port);

// The database's default place: $XDG_STATE_HOME/brannoc/tally.db, else ~/.local/state/brannoc/tally.db.
std::string defaultDatabase(const char* xdgStateHome, const char* home);
// The admin socket's default place: beside the database.
std::string defaultAdminSocket(const std::string& database);

extern const char* const usage;

} // namespace server

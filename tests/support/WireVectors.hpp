#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Messages of the realtime protocol with the exact bytes they take on the stream. The client's
// and the server's tests both read this one table, so the two codecs cannot drift apart.
namespace wirevectors {

using namespace std::string_literals;

struct Field {
    bool isText;
    std::string text;
    std::uint16_t number;
};

inline Field text(std::string value) {
    return {true, std::move(value), 0};
}

inline Field number(std::uint16_t value) {
    return {false, {}, value};
}

struct Vector {
    const char* what;
    bool fromServer;
    std::vector<Field> fields; // the name first
    std::string frame;         // the size prefix and the data
};

inline const std::vector<Vector>& all() {
    static const std::vector<Vector> vectors = {
        {"ping", false, {text("ping")}, "\0\0\0\x08\0\0\0\x04ping"s},
        {"increment", false, {text("increment")}, "\0\0\0\x0d\0\0\0\x09increment"s},
        {"whoami of a guest",
         false,
         {text("whoami"), text("Guest"), text("Guest")},
         "\0\0\0\x1c\0\0\0\x06whoami\0\0\0\x05Guest\0\0\0\x05Guest"s},
        {"whoami with an empty and a non-ASCII name",
         false,
         {text("whoami"), text(""), text("\xC3\xA9")},
         "\0\0\0\x14\0\0\0\x06whoami\0\0\0\0\0\0\0\x02\xC3\xA9"s},
        {"pong", true, {text("pong")}, "\0\0\0\x08\0\0\0\x04pong"s},
        {"deathcount at its largest",
         true,
         {text("deathcount"), number(65535)},
         "\0\0\0\x10\0\0\0\x0a"
         "deathcount\xff\xff"s},
        {"deathindex of two users, one with empty names",
         true,
         {text("deathindex"), number(2), text("bob"), text("Bob B"), number(12), text(""), text(""),
          number(0)},
         "\0\0\0\x2c\0\0\0\x0a"
         "deathindex\0\x02\0\0\0\x03"
         "bob\0\0\0\x05"
         "Bob B\0\x0c\0\0\0\0\0\0\0\0\0\0"s},
        {"userstates of one user",
         true,
         {text("userstates"), number(1), text("alice"), text("Alice"), number(7)},
         "\0\0\0\x24\0\0\0\x0auserstates\0\x01\0\0\0\x05"
         "alice\0\0\0\x05"
         "Alice\0\x07"s},
    };
    return vectors;
}

} // namespace wirevectors

#pragma once

// The users file: one user per line, fields separated by tabs, in this order:
//
//   token  id  rank  user  display  real-name  sex  groups  avatar
//
// id, rank and sex are decimal integers (32-bit, as the client reads them); groups are separated
// by commas; avatar is an image file (PNG or JPEG), relative to the users file's folder unless
// absolute, and may be left empty or left out (8 fields). Blank lines and lines starting with "#"
// are ignored.
//
// The client splits the login reply into lines itself and does not cut inside double quotes or
// braces, so a value holding one would swallow the keys after it: such values, carriage returns
// and other control characters are refused. The token travels raw in a form body, so it may hold
// neither "&" nor blanks. The file holds every user's secret: it must not be readable by group or
// others.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

struct WebUser {
    std::string token;
    std::int32_t id = 0;
    std::int32_t rank = 0;
    std::string userName;
    std::string displayName;
    std::string realName;
    std::int32_t sex = 0;
    std::string groups; // comma-separated, as written
    std::string avatar; // resolved against the file's folder; empty when none
};

struct WebUsers {
    std::unordered_map<std::string, WebUser> byToken;
    // Several tokens may belong to one person; the first line naming an avatar for an id wins.
    std::unordered_map<std::int32_t, std::string> avatarById;

    const WebUser* find(const std::string& token) const;
    std::string avatarOf(std::int32_t id) const;
};

struct UsersRead {
    std::shared_ptr<const WebUsers> users; // null when refused
    std::string error;                     // why, naming the line, when refused
};

// Reads the text of a users file; folder resolves relative avatar paths. Never throws.
UsersRead parseUsers(std::string_view text, const std::string& folder);

// Reads the users file at path, refusing it when group or others may read it. Never throws.
UsersRead readUsersFile(const std::string& path);

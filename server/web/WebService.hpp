#pragma once

// What the client asks of the web service, answered as pure functions of the request, the users
// table and the image files, so the HTTP server around them stays thin. The client never looks at
// the status: only the body counts, and a login reply of two or more lines logs it in, so every
// refusal is a body of at most one line.

#include "server/web/Users.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct WebRequest {
    std::string method;
    std::string path; // as requestPath() reads it from the request line
    std::string body;
};

struct WebReply {
    int status = 200;
    std::string body;
    std::string contentType = "text/plain";
    std::string outcome; // for the log: never the token
    // For the metrics, fixed names only (a client could vary a path without end): the route
    // ("login", "rank", "avatar" or "other") and, for a login, its outcome.
    const char* route = "other";
    const char* signIn = nullptr; // "accepted", "unknown_token" or "no_token"
};

struct ImageFiles {
    std::string avatarsDir;    // <id>.png / <id>.jpg / <id>.jpeg; empty when none
    std::string defaultAvatar; // served as /img/avatars/default.jpg
};

// The path in a request line's target: the query dropped, %XX escapes decoded ("+" stays "+", a "%"
// without two hex digits stays as it is).
std::string requestPath(std::string_view target);

// The client asks for "./php/..." literally; its HTTP library may or may not put "/" in front.
std::string normaliseRequestPath(std::string_view path);

// The raw value of key in an unencoded form body ("a=1&b=2"); nullopt when the key is absent.
std::optional<std::string> formField(std::string_view body, std::string_view key);

// The seven "key=value" lines the client reads, joined by line feeds.
std::string loginReply(const WebUser& user);

// "#RRGGBB" for a rank given as text; ranks outside the table and unreadable ones get rank 0's.
//   0 slate grey-blue #8899AA (members)   4 orange #E67E22
//   1 blue            #1E90FF             5 red    #E74C3C
//   2 green           #2ECC71             6 purple #9B59B6
//   3 gold            #F1C40F             7 teal   #1ABC9C
std::string rankColour(std::string_view rank);

// The bytes of a PNG or JPEG file that looks whole; nullopt when missing, too large or not one.
// A quick look at the file's shape, not a decode: the client decodes it.
std::optional<std::string> readImageFile(const std::string& path);

// The reply to one request. Never throws.
WebReply handleWebRequest(const WebRequest& request, const WebUsers& users, const ImageFiles& images);

#include "server/web/WebService.hpp"

#include <exception>
#include <fstream>
#include <iterator>
#include <limits>

namespace {

const std::string loginPath = "/php/endpoints/stest.php";
const std::string rankPath = "/php/endpoints/rankdata.php";
const std::string avatarPrefix = "/img/avatars/";

// Avatars are small; anything bigger is a wrong file and would only stall the client.
constexpr std::size_t maxImageBytes = 8u << 20;

const char* const rankColours[] = {"#8899AA", "#1E90FF", "#2ECC71", "#F1C40F",
                                   "#E67E22", "#E74C3C", "#9B59B6", "#1ABC9C"};

WebReply text(int status, std::string body, std::string outcome) {
    WebReply reply;
    reply.status = status;
    reply.body = std::move(body);
    reply.outcome = std::move(outcome);
    return reply;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

const char* imageType(std::string_view bytes) {
    // PNG: signature, IHDR first and IEND last, so a cut-off download is not served as whole.
    if (startsWith(bytes, std::string_view("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16)))
        return endsWith(bytes, std::string_view("IEND\xae\x42\x60\x82", 8)) ? "image/png" : nullptr;
    if (startsWith(bytes, "\xff\xd8\xff"))
        return "image/jpeg";
    return nullptr;
}

WebReply login(const WebRequest& request, const WebUsers& users) {
    const std::optional<std::string> token = formField(request.body, "token");
    WebReply reply;
    if (!token) {
        reply = text(403, "unknown token", "login refused: no token in the body");
        reply.signIn = "no_token";
    } else if (const WebUser* user = users.find(*token)) {
        reply = text(200, loginReply(*user), "login of user id " + std::to_string(user->id));
        reply.signIn = "accepted";
    } else {
        reply = text(403, "unknown token", "login refused: unknown token");
        reply.signIn = "unknown_token";
    }
    return reply;
}

WebReply rank(const WebRequest& request) {
    const std::string value = formField(request.body, "rank").value_or("");
    const std::string colour = rankColour(value);
    return text(200, colour, "rank colour " + colour + " for rank \"" + value + "\"");
}

WebReply image(const std::string& bytes, std::string outcome) {
    WebReply reply = text(200, bytes, std::move(outcome));
    reply.contentType = imageType(bytes);
    return reply;
}

WebReply avatar(std::string_view name, const WebUsers& users, const ImageFiles& images) {
    if (name == "default.jpg") {
        if (const auto bytes = readImageFile(images.defaultAvatar))
            return image(*bytes, "default avatar");
        return text(404, "no default avatar", "default avatar missing: " + images.defaultAvatar);
    }
    // Digits only, so the name cannot reach outside the avatars folder.
    const bool digits =
        !name.empty() && name.size() <= 10 && name.find_first_not_of("0123456789") == std::string_view::npos;
    if (!digits)
        return text(404, "not found", "not found");
    const std::string id(name);
    std::string candidates[4];
    if (std::stoll(id) <= std::numeric_limits<std::int32_t>::max())
        candidates[0] = users.avatarOf(static_cast<std::int32_t>(std::stoll(id)));
    if (!images.avatarsDir.empty()) {
        const std::string base = images.avatarsDir + "/" + id;
        candidates[1] = base + ".png";
        candidates[2] = base + ".jpg";
        candidates[3] = base + ".jpeg";
    }
    for (const std::string& path : candidates)
        if (!path.empty())
            if (const auto bytes = readImageFile(path))
                return image(*bytes, "avatar of id " + id);
    return text(404, "no avatar", "no avatar for id " + id);
}

WebReply dispatch(const WebRequest& request, const WebUsers& users, const ImageFiles& images) {
    const std::string path = normaliseRequestPath(request.path);
    WebReply reply;
    if (path == loginPath) {
        reply = login(request, users);
        reply.route = "login";
    } else if (path == rankPath) {
        reply = rank(request);
        reply.route = "rank";
    } else if (startsWith(path, avatarPrefix)) {
        reply = avatar(std::string_view(path).substr(avatarPrefix.size()), users, images);
        reply.route = "avatar";
    } else {
        reply = text(404, "not found", "not found");
    }
    return reply;
}

} // namespace

std::string requestPath(std::string_view target) {
    target = target.substr(0, target.find('?'));
    const auto hex = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    std::string path;
    path.reserve(target.size());
    for (std::size_t k = 0; k < target.size(); ++k) {
        if (target[k] == '%' && k + 2 < target.size() && hex(target[k + 1]) >= 0 && hex(target[k + 2]) >= 0) {
            path += static_cast<char>(hex(target[k + 1]) * 16 + hex(target[k + 2]));
            k += 2;
        } else {
            path += target[k];
        }
    }
    return path;
}

std::string normaliseRequestPath(std::string_view path) {
    if (startsWith(path, "/./"))
        path.remove_prefix(2);
    else if (startsWith(path, "./"))
        path.remove_prefix(1);
    return std::string(path);
}

std::optional<std::string> formField(std::string_view body, std::string_view key) {
    std::size_t start = 0;
    while (start <= body.size()) {
        std::size_t end = body.find('&', start);
        if (end == std::string_view::npos)
            end = body.size();
        const std::string_view pair = body.substr(start, end - start);
        if (pair.size() > key.size() && startsWith(pair, key) && pair[key.size()] == '=')
            return std::string(pair.substr(key.size() + 1));
        start = end + 1;
    }
    return std::nullopt;
}

std::string loginReply(const WebUser& user) {
    return "id=" + std::to_string(user.id) + "\nrank=" + std::to_string(user.rank) +
           "\nuser=" + user.userName + "\ndisp=" + user.displayName + "\nreal=" + user.realName +
           "\nsex=" + std::to_string(user.sex) + "\ngrps=" + user.groups;
}

std::string rankColour(std::string_view rank) {
    const std::size_t count = std::size(rankColours);
    if (rank.empty() || rank.size() > 3 || rank.find_first_not_of("0123456789") != std::string_view::npos)
        return rankColours[0];
    const std::size_t index = std::stoul(std::string(rank));
    return rankColours[index < count ? index : 0];
}

std::optional<std::string> readImageFile(const std::string& path) {
    if (path.empty())
        return std::nullopt;
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return std::nullopt;
    std::string bytes;
    char buffer[65536];
    while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
        bytes.append(buffer, static_cast<std::size_t>(file.gcount()));
        if (bytes.size() > maxImageBytes)
            return std::nullopt;
    }
    if (file.bad() || !imageType(bytes))
        return std::nullopt;
    return bytes;
}

WebReply handleWebRequest(const WebRequest& request, const WebUsers& users, const ImageFiles& images) {
    try {
        return dispatch(request, users, images);
    } catch (const std::exception&) {
        // Short enough to build without allocating, so this cannot throw in turn.
        WebReply reply;
        reply.status = 500;
        reply.body = "server error";
        reply.outcome = "failed";
        return reply;
    }
}

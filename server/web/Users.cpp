#include "server/web/Users.hpp"

#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Far beyond any real team; keeps a wrong path (a disk image, a device) from filling memory.
constexpr std::size_t maxFileBytes = 16u << 20;

constexpr std::size_t fieldsWithAvatar = 9;
constexpr std::size_t fieldsWithoutAvatar = 8;

const char* const fieldNames[] = {"token",     "id",  "rank",   "user",  "display",
                                  "real name", "sex", "groups", "avatar"};

std::vector<std::string_view> splitTabs(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        if (tab == std::string_view::npos) {
            fields.push_back(line.substr(start));
            return fields;
        }
        fields.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
}

// Strict: an optional minus and digits only, so "12abc" or " 3" are caught as typos.
bool readInt32(std::string_view text, std::int32_t& out) {
    std::size_t pos = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative)
        pos = 1;
    if (pos >= text.size())
        return false;
    std::int64_t magnitude = 0;
    for (; pos < text.size(); ++pos) {
        if (text[pos] < '0' || text[pos] > '9')
            return false;
        magnitude = magnitude * 10 + (text[pos] - '0');
        if (magnitude > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1)
            return false;
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<std::int32_t>::max())
        return false;
    out = static_cast<std::int32_t>(value);
    return true;
}

// What makes a value unusable in the login reply; null when it is fine.
const char* refusedCharacter(std::string_view value) {
    for (const char c : value) {
        if (c == '\r')
            return "a carriage return";
        if (c == '"')
            return "a double quote";
        if (c == '{' || c == '}')
            return "a brace";
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return "a control character";
    }
    return nullptr;
}

std::string lineError(std::size_t number, const std::string& what) {
    return "line " + std::to_string(number) + ": " + what;
}

UsersRead refuse(std::string error) {
    return UsersRead{nullptr, std::move(error)};
}

UsersRead parse(std::string_view text, const std::string& folder) {
    auto users = std::make_shared<WebUsers>();
    std::unordered_map<std::string, std::size_t> tokenLine;
    std::size_t number = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (line.empty() || line[0] == '#')
            continue;

        const std::vector<std::string_view> fields = splitTabs(line);
        if (fields.size() != fieldsWithAvatar && fields.size() != fieldsWithoutAvatar)
            return refuse(
                lineError(number, "expected 9 tab-separated fields (or 8 without an avatar), found " +
                                      std::to_string(fields.size())));
        for (std::size_t k = 0; k < fields.size(); ++k)
            if (const char* what = refusedCharacter(fields[k]))
                return refuse(lineError(number, std::string("the ") + fieldNames[k] + " holds " + what));

        WebUser user;
        user.token = std::string(fields[0]);
        if (user.token.empty())
            return refuse(lineError(number, "the token is empty"));
        if (user.token.find_first_of("& ") != std::string::npos)
            return refuse(lineError(number, "the token holds \"&\" or a space"));
        const std::pair<std::size_t, std::int32_t*> integers[] = {
            {1, &user.id}, {2, &user.rank}, {6, &user.sex}};
        for (const auto& [index, field] : integers)
            if (!readInt32(fields[index], *field))
                return refuse(lineError(number, std::string("the ") + fieldNames[index] +
                                                    " is not an integer: " + std::string(fields[index])));
        user.userName = std::string(fields[3]);
        user.displayName = std::string(fields[4]);
        user.realName = std::string(fields[5]);
        user.groups = std::string(fields[7]);
        if (fields.size() == fieldsWithAvatar && !fields[8].empty()) {
            const std::filesystem::path avatar{std::string(fields[8])};
            user.avatar = (avatar.is_absolute() ? avatar : std::filesystem::path(folder) / avatar).string();
        }

        const auto [seen, fresh] = tokenLine.emplace(user.token, number);
        if (!fresh)
            return refuse(
                lineError(number, "the token is already used on line " + std::to_string(seen->second)));
        if (!user.avatar.empty())
            users->avatarById.emplace(user.id, user.avatar);
        std::string key = user.token;
        users->byToken.emplace(std::move(key), std::move(user));
    }
    return UsersRead{std::move(users), {}};
}

} // namespace

const WebUser* WebUsers::find(const std::string& token) const {
    const auto found = byToken.find(token);
    return found == byToken.end() ? nullptr : &found->second;
}

std::string WebUsers::avatarOf(std::int32_t id) const {
    const auto found = avatarById.find(id);
    return found == avatarById.end() ? std::string() : found->second;
}

UsersRead parseUsers(std::string_view text, const std::string& folder) {
    try {
        return parse(text, folder);
    } catch (const std::exception& error) {
        return refuse(std::string("cannot hold the users: ") + error.what());
    }
}

UsersRead readUsersFile(const std::string& path) {
    try {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return refuse("cannot open the users file " + path + ": " + std::strerror(errno));
        // Checked on the open file, so a swap after the check cannot slip past it.
        struct stat info {};
        std::string why;
        if (fstat(fd, &info) != 0)
            why = std::string("cannot stat it: ") + std::strerror(errno);
        else if (!S_ISREG(info.st_mode))
            why = "it is not a regular file";
        else if ((info.st_mode & 077) != 0)
            why = "group or others may read or write it; the users file is a secret (chmod 600 it)";
        else if (static_cast<std::size_t>(info.st_size) > maxFileBytes)
            why = "it is larger than " + std::to_string(maxFileBytes) + " bytes";
        std::string text;
        if (why.empty()) {
            char buffer[65536];
            for (;;) {
                const ssize_t got = read(fd, buffer, sizeof buffer);
                if (got < 0 && errno == EINTR)
                    continue;
                if (got < 0) {
                    why = std::string("cannot read it: ") + std::strerror(errno);
                    break;
                }
                if (got == 0)
                    break;
                text.append(buffer, static_cast<std::size_t>(got));
                if (text.size() > maxFileBytes) {
                    why = "it is larger than " + std::to_string(maxFileBytes) + " bytes";
                    break;
                }
            }
        }
        close(fd);
        if (!why.empty())
            return refuse("users file " + path + ": " + why);
        UsersRead read = parseUsers(text, std::filesystem::path(path).parent_path().string());
        if (!read.users)
            read.error = "users file " + path + ", " + read.error;
        return read;
    } catch (const std::exception& error) {
        return refuse("users file " + path + ": " + error.what());
    }
}

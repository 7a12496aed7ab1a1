// Any bytes as a users file: the reader must neither crash nor accept a value the client's line
// splitter would misread, and every refusal must name a line.
#include "server/web/Users.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const UsersRead read = parseUsers(text, "/srv");
    if (!read.users) {
        if (read.error.rfind("line ", 0) != 0)
            std::abort();
        return 0;
    }
    for (const auto& [token, user] : read.users->byToken) {
        if (token.empty() || token != user.token)
            std::abort();
        for (const std::string* value :
             {&user.token, &user.userName, &user.displayName, &user.realName, &user.groups})
            if (value->find_first_of(std::string_view("\n\r\"{}\0", 6)) != std::string::npos)
                std::abort();
    }
    return 0;
}

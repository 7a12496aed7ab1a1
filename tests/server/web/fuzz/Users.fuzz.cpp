// Any bytes as a users file: the reader must neither crash nor accept a value the client's line
// splitter would misread, and every refusal must name a line.
#include "server/web/Users.hpp"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const UsersRead read = parseUsers(std::string_view(reinterpret_cast<const char*>(data), size), "/srv");
    if (!read.users && read.error.rfind("line ", 0) != 0)
        std::abort();
    for (const auto& [token, user] : read.users ? read.users->byToken : decltype(WebUsers::byToken){})
        for (const std::string* value :
             {&token, &user.token, &user.userName, &user.displayName, &user.realName, &user.groups})
            if (token.empty() || token != user.token ||
                value->find_first_of(std::string_view("\n\r\"{}\0", 6)) != std::string::npos)
                std::abort();
    return 0;
}

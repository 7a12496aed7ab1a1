#include "web/Login.hpp"

#include "web/Avatar.hpp"
#include "web/LoginReply.hpp"
#include "web/WebApi.hpp"

#include <cstdint>
#include <exception>
#include <utility>

namespace {

template <typename T> void assignIfSet(T& field, std::optional<T>& value) {
    if (value)
        field = std::move(*value);
}

} // namespace

bool loginWithToken(std::string token) {
    try {
        // The login sends exactly what a "stest" endpoint call with no parameters sends.
        std::optional<LoginReply> reply = readLoginReply(WebApi("stest").send(token));
        if (!reply) {
            currentUser.token.clear();
            return false;
        }
        assignIfSet(currentUser.id, reply->id);
        assignIfSet(currentUser.rank, reply->rank);
        assignIfSet(currentUser.groups, reply->groups);
        assignIfSet(currentUser.userName, reply->userName);
        assignIfSet(currentUser.displayName, reply->displayName);
        assignIfSet(currentUser.realName, reply->realName);
        assignIfSet(currentUser.sex, reply->sex);
        currentUser.avatar = fetchAvatar(static_cast<std::uint32_t>(currentUser.id));
        currentUser.token = std::move(token);
        return true;
    } catch (const std::exception&) {
        // Only allocation can fail on the way; a reply that cannot be held is no login.
        currentUser.token.clear();
        return false;
    }
}

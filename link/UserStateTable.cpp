#include "link/UserStateTable.hpp"

namespace UserStateTable {

std::map<std::string, UserState> entries;

UserState& entry(const std::string& name) {
    return entries[name];
}

void applyDeathIndex(const std::string& userName, const std::string& displayName, std::uint16_t value) {
    UserState& user = entry(userName);
    user.name = userName;
    user.displayName = displayName;
    user.deathIndex = value;
}

void applyState(const std::string& userName, const std::string& displayName, std::uint16_t state) {
    UserState& user = entry(userName);
    user.name = userName;
    user.displayName = displayName;
    user.state = state;
}

void markAllOffline() {
    for (auto& keyed : entries)
        keyed.second.state = 0;
}

} // namespace UserStateTable

#pragma once

#include <cstdint>
#include <map>
#include <string>

struct UserState {
    std::string name;
    std::string displayName;
    std::int32_t deathIndex = 0;
    std::uint32_t state = 0; // 0 offline, anything else online
};

// Every user the realtime server has named since start, ordered by user name byte-wise.
// Entries are never removed. Callers hold RealtimeLink::stateMutex around every use.
namespace UserStateTable {

extern std::map<std::string, UserState> entries;

// The entry for the name, created with empty texts and zero numbers when absent.
UserState& entry(const std::string& name);

// A "deathindex" list entry: names and death index set, state kept.
void applyDeathIndex(const std::string& userName, const std::string& displayName, std::uint16_t value);

// A "userstates" list entry: names and state set, death index kept.
void applyState(const std::string& userName, const std::string& displayName, std::uint16_t state);

// Every state to 0; names and death indexes stay.
void markAllOffline();

} // namespace UserStateTable

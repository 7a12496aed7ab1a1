#pragma once

#include <cstdint>
#include <map>
#include <string>

// A small typed record; writers set the tag and the field that carries the value.
struct SettingValue {
    std::int32_t type = 0;
    std::string text;
    bool flag = false;
    float number = 0.f;
    std::string altText;
    std::int32_t index = -1;
    bool altFlag = false;
};

// Named settings ordered byte-wise by name.
using SettingsStore = std::map<std::string, SettingValue>;

// The record of that name, inserted with defaults (the name moved in) when absent. The reference
// stays valid until the store is emptied.
SettingValue& insertOrGet(SettingsStore& store, std::string&& name);

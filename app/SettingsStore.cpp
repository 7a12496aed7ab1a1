#include "app/SettingsStore.hpp"

#include <utility>

SettingValue& insertOrGet(SettingsStore& store, std::string&& name) {
    auto place = store.lower_bound(name);
    if (place != store.end() && place->first == name)
        return place->second;
    return store.emplace_hint(place, std::move(name), SettingValue{})->second;
}

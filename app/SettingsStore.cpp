#include "app/SettingsStore.hpp"

#include "media/AssetStore.hpp"

#include "app/EngineContext.hpp"

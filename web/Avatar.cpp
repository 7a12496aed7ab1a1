#include "web/Avatar.hpp"

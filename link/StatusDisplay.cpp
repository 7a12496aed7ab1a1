#include "link/StatusDisplay.hpp"

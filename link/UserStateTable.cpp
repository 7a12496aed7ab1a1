#include "link/UserStateTable.hpp"

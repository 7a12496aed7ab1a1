#include "link/Connection.hpp"

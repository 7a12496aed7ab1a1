#include "link/Stopwatch.hpp"

#include "media/ConsoleLog.hpp"

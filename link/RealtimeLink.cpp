#include "link/RealtimeLink.hpp"

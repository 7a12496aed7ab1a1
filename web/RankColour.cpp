#include "web/RankColour.hpp"

#include "web/UserProfile.hpp"

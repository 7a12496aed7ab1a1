#include "web/UserProfile.hpp"

UserProfile currentUser;

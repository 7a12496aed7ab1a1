#pragma once

#include "web/UserProfile.hpp"

#include <string>

// Signs in with the token at the web service and fills currentUser, avatar included. True when
// the reply held at least two lines; otherwise only the token is emptied. Blocks with no time
// limit and never throws.
bool loginWithToken(std::string token);

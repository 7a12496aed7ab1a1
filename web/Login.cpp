#include "web/Login.hpp"

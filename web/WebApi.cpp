#include "web/WebApi.hpp"

#include "app/HeaderEasing.hpp"

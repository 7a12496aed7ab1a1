#include "media/SoundBank.hpp"

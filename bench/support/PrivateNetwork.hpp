#pragma once

#include <string>

// Moves the calling process into a network namespace of its own with loopback up, so fixed ports
// (34567, 80) are free and nothing outside is reached. Call before any thread exists: unshare
// applies to the calling thread. False, with the reason in why, when it cannot (not root).
bool enterPrivateNetwork(std::string& why);

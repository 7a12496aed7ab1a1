// main() for test executables that bind fixed ports (34567, 80): each test process gets a network
// namespace of its own, so tests run in parallel without colliding and never reach the machine's
// real network. Must run before any thread exists, since unshare applies to the calling thread.

#include "tests/support/PrivateNetwork.hpp"

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Listing the tests (CTest discovery) needs no namespace.
    if (!testing::GTEST_FLAG(list_tests)) {
        std::string why;
        if (!enterPrivateNetwork(why)) {
            std::fprintf(stderr, "%s\n", why.c_str());
            return 1;
        }
    }
    return RUN_ALL_TESTS();
}

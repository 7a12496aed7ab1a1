// main() for test executables that bind fixed ports (34567, 80): each test process gets a network
// namespace of its own, so tests run in parallel without colliding and never reach the machine's
// real network. Must run before any thread exists, since unshare applies to the calling thread.

#include "tests/support/PrivateNetwork.hpp"

#include <gtest/gtest.h>

namespace {

// Without the namespace every test is skipped with the reason, before its fixture is set up: a
// missing privilege is not a fault of the program under test.
class SkipWithoutPrivateNetwork : public testing::EmptyTestEventListener {
public:
    explicit SkipWithoutPrivateNetwork(std::string why) : why_(std::move(why)) {}
    void OnTestStart(const testing::TestInfo&) override { skip(); }

private:
    void skip() { GTEST_SKIP() << "needs root for a private network namespace: " << why_; }
    std::string why_;
};

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Listing the tests (CTest discovery) needs no namespace.
    if (!testing::GTEST_FLAG(list_tests)) {
        std::string why;
        if (!enterPrivateNetwork(why))
            testing::UnitTest::GetInstance()->listeners().Append(new SkipWithoutPrivateNetwork(why));
    }
    return RUN_ALL_TESTS();
}

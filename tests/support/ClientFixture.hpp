#pragma once

#include "tests/support/ClientProcess.hpp"
#include "tests/support/VirtualDisplay.hpp"
#include "tests/support/XSession.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

// Base fixture for tests that run the real client: each test gets a private Xvfb screen of the
// given size and an X connection to it; clients launched through it are stopped and checked for
// sanitizer reports when the test ends, and their output is shown when the test failed.
class ClientFixture : public ::testing::Test {
protected:
    explicit ClientFixture(int screenWidth = 1920, int screenHeight = 1080);

    void SetUp() override;
    void TearDown() override;

    // Starts build/brannoc on this test's display. soundConfig: an ALSOFT_CONF file, or empty for
    // the silent null driver.
    ClientProcess& launch(std::vector<std::string> args = {}, std::string soundConfig = {});
    // Waits for the client's two windows to be mapped and its first frame to be shown (so start-up
    // has placed both); records a failure when that does not come.
    bool waitForWindows(std::chrono::milliseconds timeout = std::chrono::seconds(30));

    std::unique_ptr<VirtualDisplay> display;
    std::unique_ptr<XSession> x;
    std::vector<std::unique_ptr<ClientProcess>> clients;
    XWindow mainWindow = 0;
    XWindow buttonWindow = 0;

private:
    int screenWidth_;
    int screenHeight_;
};

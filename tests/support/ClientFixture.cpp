#include "tests/support/ClientFixture.hpp"

#include <thread>

ClientFixture::ClientFixture(int screenWidth, int screenHeight)
    : screenWidth_(screenWidth), screenHeight_(screenHeight) {}

void ClientFixture::SetUp() {
    display = std::make_unique<VirtualDisplay>(screenWidth_, screenHeight_);
    ASSERT_TRUE(display->ok()) << "Xvfb did not start";
    x = std::make_unique<XSession>(display->name());
    ASSERT_TRUE(x->ok()) << "cannot open X display " << display->name();
}

void ClientFixture::TearDown() {
    for (auto& client : clients) {
        client->stop();
        expectNoSanitizerReport(*client);
        if (HasFailure()) {
            std::string out = client->stdoutText();
            std::string err = client->stderrText();
            if (err.size() > 4000)
                err = "..." + err.substr(err.size() - 4000);
            ADD_FAILURE() << "client ended with " << client->exitStatus().describe() << "\n--- stdout\n"
                          << out << "--- stderr\n"
                          << err;
        }
    }
    clients.clear();
    x.reset();
    display.reset();
}

ClientProcess& ClientFixture::launch(std::vector<std::string> args, std::string soundConfig) {
    ClientProcess::Options options;
    options.args = std::move(args);
    options.display = display ? display->name() : std::string();
    options.soundConfig = std::move(soundConfig);
    clients.push_back(std::make_unique<ClientProcess>(std::move(options)));
    ClientProcess& client = *clients.back();
    EXPECT_TRUE(client.started()) << client.spawnError();
    return client;
}

bool ClientFixture::waitForWindows(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    mainWindow = x->findWindow("Brannoc", timeout);
    buttonWindow = x->findWindow("Brannoc Button", timeout);
    EXPECT_NE(mainWindow, 0u) << "no mapped window titled \"Brannoc\"";
    EXPECT_NE(buttonWindow, 0u) << "no mapped window titled \"Brannoc Button\"";
    if (mainWindow == 0 || buttonWindow == 0)
        return false;
    // Windows are mapped where SFML puts them and moved afterwards; the first frame (its white
    // frame corner) comes after every placement of start-up.
    for (;;) {
        if (x->capture(mainWindow).at(0, 0) == Rgb{255, 255, 255})
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "the main window shows no frame";
    return false;
}

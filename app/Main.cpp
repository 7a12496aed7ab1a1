#include "app/EngineContext.hpp"
#include "app/FrameLoop.hpp"
#include "app/StartUp.hpp"
#include "link/Connection.hpp"
#include "link/StatusDisplay.hpp"
#include "media/AssetStore.hpp"
#include "media/ConsoleLog.hpp"
#include "trigger/ClickSocket.hpp"
#include "trigger/ClientConfig.hpp"
#include "trigger/Hotkey.hpp"
#include "web/Login.hpp"
#include "web/UserProfile.hpp"

namespace {

void signIn(int argc, char** argv) {
    if (const std::optional<std::string> token = StartUp::tokenArgument(argc, argv)) {
        loginWithToken(*token);
        ConsoleLog::writeLine(StartUp::signInLine(currentUser.userName, currentUser.displayName));
    } else {
        ConsoleLog::line("Local user");
    }
}

void buildScene(Scene& scene) {
    scene.headerBar.setPrimitiveType(sf::Quads);
    scene.headerBar.resize(4);
    const sf::Vector2f corners[4] = {{0.f, 0.f}, {640.f, 0.f}, {640.f, 50.f}, {0.f, 50.f}};
    for (std::size_t i = 0; i < 4; ++i)
        scene.headerBar[i] = sf::Vertex(corners[i], sf::Color(0, 0, 0, 255));

    scene.windowFrame.setSize(sf::Vector2f(636.f, 396.f));
    scene.windowFrame.setPosition(2.f, 2.f);
    scene.windowFrame.setOutlineThickness(2.f);
    scene.windowFrame.setOutlineColor(sf::Color::White);
    scene.windowFrame.setFillColor(sf::Color::Transparent);
    scene.windowFrameOutline = outlineStrip(scene.windowFrame);

    scene.headerRule.setSize(sf::Vector2f(640.f, 2.f));
    scene.headerRule.setPosition(0.f, 49.f);

    statusAvatar = sf::CircleShape(36.f, 30);
    statusAvatar.setOrigin(36.f, 36.f);
    statusAvatar.setOutlineColor(sf::Color::White);
    statusAvatar.setOutlineThickness(2.f);
    statusAvatar.setPosition(50.f, 50.f);

    scene.headerLabel.setFont(AssetStore::getFont("arial"));
    scene.headerLabel.setStyle(sf::Text::Bold | sf::Text::Italic);
    scene.headerLabel.setCharacterSize(27);
    scene.headerAnchor = sf::Vector2f(95.f, 8.5f);
    scene.headerLabel.setPosition(scene.headerAnchor);

    scene.totalLabel.setFont(AssetStore::getFont("exo2"));
    scene.totalLabel.setStyle(sf::Text::Bold);
    scene.totalLabel.setCharacterSize(40);

    scene.userLabel.setFont(AssetStore::getFont("exo2"));
    scene.userLabel.setStyle(sf::Text::Bold);
    scene.userLabel.setCharacterSize(24);
}

} // namespace

int main(int argc, char** argv) {
    signIn(argc, argv);
    EngineContext::initialise();
    ConsoleLog::writeLine(ConsoleLog::coreBanner);
    AssetStore::initialise();

    Scene scene;
    scene.mainWindow.create(sf::VideoMode(640, 400, 32), "Brannoc", sf::Style::None,
                            sf::ContextSettings(0, 0, 16, 1, 1));
    const sf::VideoMode desktop = sf::VideoMode::getDesktopMode();
    scene.mainWindow.setPosition(StartUp::mainWindowPlace(sf::Vector2u(desktop.width, desktop.height)));
    if (!EngineContext::initialised)
        EngineContext::initialise();
    EngineContext::window = &scene.mainWindow;

    SettingValue& width = insertOrGet(EngineContext::settings, std::string("window.width"));
    width.number = static_cast<float>(EngineContext::window->getSize().x);
    width.type = 2;
    SettingValue& height = insertOrGet(EngineContext::settings, std::string("window.height"));
    height.number = static_cast<float>(EngineContext::window->getSize().y);
    height.type = 2;

    scene.mainWindow.setFramerateLimit(60);
    buildScene(scene);
    setUpView(scene.mainWindow);
    RealtimeLink::startUp();

    scene.buttonWindow.create(sf::VideoMode(640, 400, 32), "Brannoc Button", sf::Style::Titlebar);
    scene.buttonWindow.setPosition(scene.mainWindow.getPosition() + sf::Vector2i(0, 400));
    refreshStatusDisplay();
    Hotkey::arm(ClientConfig::hotkey().value_or(""));

    if (scene.mainWindow.isOpen())
        runFrameLoop(scene);

    Hotkey::release();
    ClickSocket::close();
    RealtimeLink::shutdown();
    scene.buttonWindow.close();
    return 0;
}

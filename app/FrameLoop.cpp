#include "app/FrameLoop.hpp"

#include "app/EngineContext.hpp"
#include "app/FrameText.hpp"
#include "app/HeaderEasing.hpp"
#include "app/PointerState.hpp"
#include "link/Connection.hpp"
#include "link/RealtimeLink.hpp"
#include "link/StatusDisplay.hpp"
#include "link/UserStateTable.hpp"
#include "media/AssetStore.hpp"
#include "trigger/ClickSocket.hpp"
#include "trigger/Hotkey.hpp"

#include <mutex>
#include <string>
#include <vector>

#ifdef BRANNOC_FRAME_STAMPS
#include <chrono>
#include <cstdio>
#endif

namespace {

HeaderColour headerColour;

void setButtonPhase(const sf::Event::MouseButtonEvent& button, ButtonPhase phase) {
    if (button.button == sf::Mouse::Left || button.button == sf::Mouse::Right ||
        button.button == sf::Mouse::Middle)
        pointer.buttons[button.button] = phase;
}

void handleMainWindowEvents(sf::RenderWindow& mainWindow) {
    sf::Event event;
    while (mainWindow.pollEvent(event)) {
        switch (event.type) {
        case sf::Event::Closed:
            mainWindow.close();
            break;
        case sf::Event::KeyReleased:
            // Closing on the release, not the press, keeps the key's release from reaching
            // whatever window lies below once this one is gone.
            if (event.key.code == sf::Keyboard::Escape)
                mainWindow.close();
            break;
        case sf::Event::MouseButtonPressed:
            setButtonPhase(event.mouseButton, Pressed);
            break;
        case sf::Event::MouseButtonReleased:
            setButtonPhase(event.mouseButton, Released);
            break;
        default:
            break;
        }
    }
}

// The one road of a counted death, for the button, the hotkey and brannoc-click alike: an
// "increment" while connected, nothing otherwise. True when it was sent.
bool countOneDeath() {
    if (!RealtimeLink::connected.load())
        return false;
    sendIncrement();
    return true;
}

void handleButtonWindowEvents(sf::RenderWindow& buttonWindow, sf::RenderWindow& mainWindow) {
    sf::Event event;
    while (buttonWindow.pollEvent(event)) {
        if (event.type == sf::Event::Closed)
            mainWindow.close();
        else if (event.type == sf::Event::MouseButtonReleased)
            countOneDeath();
    }
}

void handleTriggers() {
    for (int presses = Hotkey::takePresses(); presses > 0; --presses)
        countOneDeath();
    ClickSocket::serve(countOneDeath);
}

void centreHorizontally(sf::Text& text, float y) {
    text.setPosition((640.f - text.getGlobalBounds().width) * 0.5f, y);
}

struct ListRow {
    std::string displayName;
    std::int32_t deathIndex;
    std::uint32_t state;
};

std::vector<ListRow> copyUserRows() {
    std::vector<ListRow> rows;
    std::lock_guard<std::mutex> lock(RealtimeLink::stateMutex);
    rows.reserve(UserStateTable::entries.size());
    for (const auto& [name, user] : UserStateTable::entries)
        rows.push_back({user.displayName, user.deathIndex, user.state});
    return rows;
}

void drawHeader(Scene& scene) {
    std::string status;
    {
        std::lock_guard<std::mutex> lock(RealtimeLink::stateMutex);
        status = statusText;
    }
    sf::RenderWindow& window = scene.mainWindow;
    window.clear(sf::Color(0, 0, 0, 255));
    window.draw(scene.headerBar, sf::BlendNone);
    window.draw(scene.headerRule, sf::BlendNone);
    window.draw(statusAvatar);
    scene.headerLabel.setString(status);
    scene.headerLabel.setFillColor(sf::Color::Black);
    scene.headerLabel.setPosition(scene.headerAnchor + sf::Vector2f(1.5f, 2.f));
    window.draw(scene.headerLabel);
    scene.headerLabel.setFillColor(sf::Color::White);
    scene.headerLabel.setPosition(scene.headerAnchor);
    window.draw(scene.headerLabel);
}

void drawUserList(Scene& scene) {
    sf::RectangleShape userLamp(sf::Vector2f(16.f, 16.f));
    float rowY = 142.f;
    for (const ListRow& row : copyUserRows()) {
        // The rectangle is set by the first texture only; both lamp images share one size.
        userLamp.setTexture(&AssetStore::getTexture(row.state == 0 ? "ui/menu_button_glass_red"
                                                                   : "ui/menu_button_glass_green"),
                            false);
        userLamp.setPosition(20.f, rowY + 9.f);
        scene.mainWindow.draw(userLamp);
        scene.userLabel.setString(row.displayName + " - " + std::to_string(row.deathIndex));
        scene.userLabel.setPosition(48.f, rowY);
        scene.mainWindow.draw(scene.userLabel);
        rowY += 32.f;
    }
}

void runFrame(Scene& scene) {
    sf::RenderWindow& mainWindow = scene.mainWindow;

    samplePointer(pointer, sf::Mouse::getPosition(), mainWindow.getPosition(), mouseScale);
    ageButtonPhases(pointer);
    handleMainWindowEvents(mainWindow);
    handleButtonWindowEvents(scene.buttonWindow, mainWindow);
    handleTriggers();
    const sf::Vector2i offset = dragOffset(pointer);
    if (offset != sf::Vector2i(0, 0))
        mainWindow.setPosition(mainWindow.getPosition() + offset);

    HeaderColour target;
    {
        std::lock_guard<std::mutex> lock(RealtimeLink::stateMutex);
        target = headerTargetColour;
    }
    easeHeaderColour(headerColour, target);
    const sf::Color left(static_cast<sf::Uint8>(headerColour.r), static_cast<sf::Uint8>(headerColour.g),
                         static_cast<sf::Uint8>(headerColour.b), 255);
    scene.headerBar[0].color = left;
    scene.headerBar[3].color = left;

    RealtimeLink::handOverStep();
    RealtimeLink::reconnectStep();

    drawHeader(scene);

    const std::int32_t total = RealtimeLink::deathTotal.load();
    scene.totalLabel.setString("Total Deaths: " + std::to_string(total));
    centreHorizontally(scene.totalLabel, 82.f);
    mainWindow.draw(scene.totalLabel);

    drawUserList(scene);
    RealtimeLink::timeOutCheck();

    double sinceLastDeath = 0.0;
    {
        std::lock_guard<std::mutex> lock(RealtimeLink::stateMutex);
        sinceLastDeath = RealtimeLink::lastDeathClock.elapsedSeconds();
    }
    sf::Text overlayLabel;
    overlayLabel.setFont(AssetStore::getFont("exo2"));
    overlayLabel.setCharacterSize(40);
    overlayLabel.setFillColor(sf::Color(255, 180, 0, 255));
    overlayLabel.setString(formatElapsed(displayedSeconds(sinceLastDeath)));
    centreHorizontally(overlayLabel, 318.f);
    mainWindow.draw(overlayLabel);

    overlayLabel.setCharacterSize(24);
    overlayLabel.setFont(AssetStore::getFont("acens"));
    overlayLabel.setFillColor(sf::Color::White);
    overlayLabel.setString("since last death");
    centreHorizontally(overlayLabel, 360.f);
    mainWindow.draw(overlayLabel);

    mainWindow.draw(scene.windowFrameOutline, sf::BlendNone);
    mainWindow.display();
#ifdef BRANNOC_FRAME_STAMPS
    std::fprintf(stderr, "frame %lld %d\n",
                 static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                            std::chrono::steady_clock::now().time_since_epoch())
                                            .count()),
                 static_cast<int>(total));
#endif

    sf::RenderWindow& buttonWindow = scene.buttonWindow;
    buttonWindow.clear(sf::Color(0, 0, 0, 255));
    overlayLabel.setFont(AssetStore::getFont("exo2"));
    overlayLabel.setCharacterSize(14);
    overlayLabel.setString("Ping: " + std::to_string(RealtimeLink::pingMs.load()) + "ms");
    overlayLabel.setPosition(8.f, 8.f);
    overlayLabel.setFillColor(sf::Color::Green);
    buttonWindow.draw(overlayLabel);
    buttonWindow.display();
}

} // namespace

sf::VertexArray outlineStrip(const sf::RectangleShape& shape) {
    const sf::FloatRect outer = shape.getGlobalBounds();
    const float t = shape.getOutlineThickness();
    const sf::FloatRect inner(outer.left + t, outer.top + t, outer.width - 2 * t, outer.height - 2 * t);
    const sf::Vector2f corners[2][4] = {{{outer.left, outer.top},
                                         {outer.left + outer.width, outer.top},
                                         {outer.left + outer.width, outer.top + outer.height},
                                         {outer.left, outer.top + outer.height}},
                                        {{inner.left, inner.top},
                                         {inner.left + inner.width, inner.top},
                                         {inner.left + inner.width, inner.top + inner.height},
                                         {inner.left, inner.top + inner.height}}};
    sf::VertexArray strip(sf::TriangleStrip, 10);
    for (std::size_t i = 0; i < 10; ++i)
        strip[i] = sf::Vertex(corners[i % 2][(i / 2) % 4], shape.getOutlineColor());
    return strip;
}

void runFrameLoop(Scene& scene) {
    do {
        runFrame(scene);
    } while (scene.mainWindow.isOpen());
}

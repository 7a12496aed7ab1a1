// The floor for the idle benchmark: the client's two windows with the same context settings,
// placement and frame-rate limit, doing nothing but clear and display. What the client costs
// beyond this is its own.

#include <SFML/Graphics.hpp>

#include <algorithm>

int main() {
    sf::ContextSettings mainSettings(0, 0, 16, 1, 1);
    sf::RenderWindow mainWindow(sf::VideoMode(640, 400, 32), "Brannoc", sf::Style::None, mainSettings);
    const sf::VideoMode desktop = sf::VideoMode::getDesktopMode();
    const int left = (static_cast<int>(desktop.width) - 640) / 2;
    const int top = std::max(0, (static_cast<int>(desktop.height) - 800) / 2);
    mainWindow.setPosition({left, top});
    mainWindow.setFramerateLimit(60);

    sf::RenderWindow buttonWindow(sf::VideoMode(640, 400, 32), "Brannoc Button", sf::Style::Titlebar);
    buttonWindow.setPosition({left, top + 400});

    while (mainWindow.isOpen()) {
        sf::Event event;
        while (mainWindow.pollEvent(event))
            if (event.type == sf::Event::Closed ||
                (event.type == sf::Event::KeyReleased && event.key.code == sf::Keyboard::Escape))
                mainWindow.close();
        while (buttonWindow.pollEvent(event))
            if (event.type == sf::Event::Closed)
                mainWindow.close();
        mainWindow.clear(sf::Color::Black);
        mainWindow.display();
        buttonWindow.clear(sf::Color::Black);
        buttonWindow.display();
    }
    return 0;
}

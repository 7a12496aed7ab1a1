#pragma once

#include <SFML/Graphics.hpp>

// The objects the entry builds at start-up and the frame loop draws every frame.
struct Scene {
    sf::RenderWindow mainWindow;
    sf::VertexArray headerBar;
    sf::RectangleShape windowFrame;
    sf::RectangleShape headerRule;
    sf::Text headerLabel;
    sf::Vector2f headerAnchor;
    sf::Text totalLabel;
    sf::Text userLabel;
    sf::RenderWindow buttonWindow;
};

// Runs one pass per displayed frame until the main window has closed.
void runFrameLoop(Scene& scene);

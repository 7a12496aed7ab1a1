#pragma once

#include <SFML/Graphics.hpp>

// The objects the entry builds at start-up and the frame loop draws every frame.
struct Scene {
    sf::RenderWindow mainWindow;
    sf::VertexArray headerBar;
    sf::RectangleShape windowFrame;
    sf::VertexArray windowFrameOutline; // what is drawn of windowFrame: its outline alone
    sf::RectangleShape headerRule;
    sf::Text headerLabel;
    sf::Vector2f headerAnchor;
    sf::Text totalLabel;
    sf::Text userLabel;
    sf::RenderWindow buttonWindow;
};

// The outline band of a rectangle shape as a triangle strip, covering exactly the pixels the shape's
// own outline covers. SFML draws a shape's fill even when it is fully transparent, which for a
// frame around the whole window costs a blended full-window pass every frame for no pixel.
sf::VertexArray outlineStrip(const sf::RectangleShape& shape);

// Runs one pass per displayed frame until the main window has closed.
void runFrameLoop(Scene& scene);

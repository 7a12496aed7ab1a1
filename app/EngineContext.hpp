#pragma once

#include "app/SettingsStore.hpp"

#include <SFML/Graphics/RenderWindow.hpp>
#include <SFML/Graphics/View.hpp>

// The process-wide engine context: the main window, its view and the settings store.
namespace EngineContext {

extern SettingsStore settings;
extern sf::RenderWindow* window; // not owning; null until the entry sets it
extern sf::View view;
extern bool initialised;

// Rebuilds the context: empty store holding only the empty name, no window, default view.
void initialise();

// Stores the view (initialising first if needed) and writes "view size: W x H".
void setView(const sf::View& newView);

} // namespace EngineContext

// Insert-or-get in EngineContext::settings, the name copied in when absent.
SettingValue& getSetting(std::string name);

// Window pixels to logical units along both axes; 1.0 until the view set-up.
extern float mouseScale;

// Gives the window the logical 640 x 400 view, records the logical size in the settings and sets
// mouseScale. Writes two "view size: " lines.
void setUpView(sf::RenderWindow& window);

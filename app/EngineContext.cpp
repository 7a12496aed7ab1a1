#include "app/EngineContext.hpp"

#include "media/ConsoleLog.hpp"

namespace EngineContext {

SettingsStore settings;
sf::RenderWindow* window = nullptr;
sf::View view;
bool initialised = false;

void initialise() {
    settings.clear();
    window = nullptr;
    view = sf::View();
    insertOrGet(settings, std::string());
    initialised = true;
}

void setView(const sf::View& newView) {
    if (!initialised)
        initialise();
    view = newView;
    ConsoleLog::line("view size: ", view.getSize().x, " x ", view.getSize().y);
}

} // namespace EngineContext

SettingValue& getSetting(std::string name) {
    return insertOrGet(EngineContext::settings, std::move(name));
}

float mouseScale = 1.f;

void setUpView(sf::RenderWindow& window) {
    const sf::Vector2u size = window.getSize();
    EngineContext::setView(
        sf::View(sf::Vector2f(static_cast<float>(size.x / 2), static_cast<float>(size.y / 2)),
                 sf::Vector2f(static_cast<float>(size.x), static_cast<float>(size.y))));

    SettingValue& width = getSetting("window.width");
    width.number = 640.f;
    width.type = 3;
    SettingValue& height = getSetting("window.height");
    height.number = 400.f;
    height.type = 3;

    mouseScale = 640.f / static_cast<float>(size.x);

    sf::View logical(sf::FloatRect(0.f, 0.f, 640.f, 400.f));
    logical.setViewport(sf::FloatRect(0.f, 0.f, 1.f, 1.f));
    EngineContext::setView(logical);
    window.setView(EngineContext::view);
}

#pragma once

#include <SFML/Graphics/Font.hpp>
#include <SFML/Graphics/Image.hpp>
#include <SFML/Graphics/Texture.hpp>

#include <map>
#include <string>

// Fonts and textures found by short name below "./assets/", loaded once and kept until exit.
// Main thread only, except that the directory strings may be read from any thread once initialised.
namespace AssetStore {

extern std::string root;
extern std::string audioDir;
extern std::string definitionDir;
extern std::string fontDir;
extern std::string shaderDir;
extern std::string stageDir;
extern std::string textureDir;

extern std::map<std::string, sf::Font> fonts;
extern std::map<std::string, sf::Image> images;
extern std::map<std::string, sf::Texture> textures;

extern bool initialised;

// Writes the asset banner, sets the directory strings and builds the "n/a" fallback texture.
void initialise();

// The cached font of that name; an empty font (cached, never retried) when neither
// name.otf nor name.ttf loads.
sf::Font& getFont(const std::string& name);

// The cached texture of that name, or the "n/a" fallback when its file cannot be read (not
// remembered: the next request reads the disk again). References stay valid until exit.
sf::Texture& getTexture(const std::string& name);

// Reads texture/<file or name + ".png"> into the image cache under the name; false on failure.
bool loadImage(const std::string& name, std::string file = "");

} // namespace AssetStore

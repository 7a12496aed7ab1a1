#include "media/AssetStore.hpp"

#include "media/ConsoleLog.hpp"

namespace AssetStore {

std::string root;
std::string audioDir;
std::string definitionDir;
std::string fontDir;
std::string shaderDir;
std::string stageDir;
std::string textureDir;

std::map<std::string, sf::Font> fonts;
std::map<std::string, sf::Image> images;
std::map<std::string, sf::Texture> textures;

bool initialised = false;

namespace {

const std::string fallbackName = "n/a";
const std::string repeatedPrefix = "environment/";

void initialiseOnce() {
    if (!initialised)
        initialise();
}

} // namespace

void initialise() {
    ConsoleLog::writeLine(ConsoleLog::assetBanner);

    root = "./assets/";
    audioDir = "audio/";
    definitionDir = "definition/";
    fontDir = "font/";
    shaderDir = "shader/";
    stageDir = "stage/";
    textureDir = "texture/";

    // A missing fallback file leaves an empty image and texture; that empty texture is then what
    // every missing picture shows, which beats failing start-up.
    sf::Image& fallbackImage = images[fallbackName];
    fallbackImage.loadFromFile(root + textureDir + "_na.png");
    textures[fallbackName].loadFromImage(fallbackImage, sf::IntRect(0, 0, 0, 0));

    initialised = true;
}

sf::Font& getFont(const std::string& name) {
    initialiseOnce();

    const auto found = fonts.find(name);
    if (found != fonts.end())
        return found->second;

    // The entry is kept even when both files fail, so a missing font costs the disk only once.
    sf::Font& font = fonts[name];
    for (const char* extension : {"otf", "ttf"}) {
        if (font.loadFromFile(root + fontDir + name + "." + extension))
            break;
    }
    return font;
}

sf::Texture& getTexture(const std::string& name) {
    initialiseOnce();

    const auto found = textures.find(name);
    if (found != textures.end())
        return found->second;

    // A failed read is not remembered, so a picture that appears later is picked up.
    if (images.find(name) == images.end() && !loadImage(name))
        return textures[fallbackName];

    sf::Texture& texture = textures[name];
    texture.loadFromImage(images[name], sf::IntRect(0, 0, 0, 0));
    texture.setSmooth(true);
    texture.setRepeated(name.compare(0, repeatedPrefix.size(), repeatedPrefix) == 0);
    return texture;
}

bool loadImage(const std::string& name, std::string file) {
    initialiseOnce();

    if (file.empty())
        file = name + ".png";

    sf::Image image;
    if (!image.loadFromFile(root + textureDir + file))
        return false;
    images[name] = image;
    return true;
}

} // namespace AssetStore

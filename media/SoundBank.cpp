#include "media/SoundBank.hpp"

#include "media/ConsoleLog.hpp"

namespace SoundBank {

std::map<std::string, SoundEntry> sounds;

void playSound(const std::string& path, float volume) {
    const auto [found, created] = sounds.try_emplace(path);
    // The entry stays even when loading fails, so a broken file is tried only once.
    if (created && !loadSound(found->second, path))
        return;

    SoundEntry& entry = found->second;
    entry.sound.setVolume(volume);
    if (entry.loaded)
        entry.sound.play();
    else
        ConsoleLog::writeLine("No sound buffered!");
}

bool loadSound(SoundEntry& entry, const std::string& path) {
    entry.file = path;
    entry.loaded = entry.buffer.loadFromFile(path);
    if (!entry.loaded) {
        ConsoleLog::line("Failed to load sound: '", path, "'");
        return false;
    }
    entry.sound.setBuffer(entry.buffer);
    return true;
}

} // namespace SoundBank

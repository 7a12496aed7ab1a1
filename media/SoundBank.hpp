#pragma once

#include <SFML/Audio/Sound.hpp>
#include <SFML/Audio/SoundBuffer.hpp>

#include <map>
#include <string>

// One sound file with its own source. The sound is declared after the buffer so it is
// destroyed first.
struct SoundEntry {
    bool loaded = false;
    std::string file;
    sf::SoundBuffer buffer;
    sf::Sound sound;
};

// Plays short sounds by path, each decoded once on first use and kept until exit.
// Used from one thread only (the packet thread).
namespace SoundBank {

extern std::map<std::string, SoundEntry> sounds;

// Plays the file at path with volume on the 0..100 scale. A path that failed once stays silent
// and writes "No sound buffered!" on each later request.
void playSound(const std::string& path, float volume);

// Loads path into the entry's buffer and binds its sound; writes "Failed to load sound: '...'"
// on failure. Returns whether the buffer was loaded.
bool loadSound(SoundEntry& entry, const std::string& path);

} // namespace SoundBank

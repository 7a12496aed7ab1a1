#pragma once

#include <SFML/Audio/SoundBuffer.hpp>

#include <string>

// Loads what OpenAL's wave-file device has written so far. The writer fills in the RIFF and data
// sizes only when the device closes, so they are taken from the file's length (whole frames); the
// rest of the reading is SFML's.
bool loadCapture(sf::SoundBuffer& buffer, const std::string& path);

// Largest absolute sample value, 0 for silence.
int peak(const sf::SoundBuffer& buffer);

// How a recording holds one playing of a mono source scaled by a factor: the source's strike
// (first sample reaching a tenth of its peak) lined up with the recording's (a fortieth), then
// compared sample by sample over the whole source.
struct PlaybackMatch {
    bool found = false;     // the recording holds a strike and the whole source after it
    double correlation = 0; // 1 for the same shape
    double energyRatio = 0; // recorded energy over the scaled source's
    int peakAfter = 0;      // loudest recorded sample after the source has ended
};

PlaybackMatch matchPlayback(const sf::SoundBuffer& source, const sf::SoundBuffer& recording, double scale);

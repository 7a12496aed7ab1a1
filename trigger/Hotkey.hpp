#pragma once

#include <string>

// The global hotkey: one key combination grabbed on the X root window through a display connection
// of its own, so that it counts whichever window has the focus. All on the main thread.
namespace Hotkey {

struct Combo {
    unsigned modifiers = 0;   // X modifier masks (Control, Shift, Mod1 for Alt, Mod4 for Super)
    unsigned long keysym = 0; // X's NoSymbol when rejected
    std::string shown;        // the canonical text: "Ctrl+Shift+d"
    std::string problem;      // why the text was rejected; empty when accepted
};

// Reads "Mod+...+KEY": modifiers Ctrl, Shift, Alt, Super in any letter case, joined by '+'; KEY
// an X key name, case-sensitive. Needs no display.
Combo parse(const std::string& text);

// Arms the setting (empty: no hotkey): grabs it with every combination of the lock modifiers and
// writes a notice saying which key is armed, or why none is. False when no key is armed.
bool arm(const std::string& setting);

// Presses of the armed key since the last call, read without blocking; a key held down (auto-
// repeat) is one press. Zero when nothing is armed.
int takePresses();

// Releases the grab and the connection. Safe to call when nothing is armed.
void release();

} // namespace Hotkey

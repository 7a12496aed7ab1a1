#include "trigger/Hotkey.hpp"

#include "trigger/Notice.hpp"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <vector>

namespace {

Display* display = nullptr;
Hotkey::Combo armed;
KeyCode code = 0;
bool keyDown = false;
Time releasedAt = CurrentTime;
bool grabRefused = false;

int noteRefusal(Display*, XErrorEvent* error) {
    grabRefused = grabRefused || error->error_code == BadAccess;
    return 0;
}

// The masks of the modifiers that hold the lock keys (Caps, Num, Scroll), which a passive grab
// would otherwise have to match exactly.
std::vector<unsigned> lockMasks() {
    unsigned found[2] = {0, 0};
    const KeySym locks[2] = {XK_Num_Lock, XK_Scroll_Lock};
    if (XModifierKeymap* map = XGetModifierMapping(display)) {
        for (int modifier = 0; modifier < 8; ++modifier)
            for (int k = 0; k < map->max_keypermod; ++k)
                for (int lock = 0; lock < 2; ++lock) {
                    const KeyCode held = map->modifiermap[modifier * map->max_keypermod + k];
                    if (held != 0 && held == XKeysymToKeycode(display, locks[lock]))
                        found[lock] = 1u << modifier;
                }
        XFreeModifiermap(map);
    }
    std::vector<unsigned> masks{0};
    for (const unsigned lock : {static_cast<unsigned>(LockMask), found[0], found[1]}) {
        const std::size_t before = masks.size();
        for (std::size_t i = 0; lock != 0 && i < before; ++i)
            if (std::find(masks.begin(), masks.end(), masks[i] | lock) == masks.end())
                masks.push_back(masks[i] | lock);
    }
    return masks;
}

// Grabs the key with every lock combination, over any of these grabs already held. The server
// reports a key another client holds asynchronously; Xlib's default handler would end the process,
// so ours stands in until the sync.
bool grab() {
    code = XKeysymToKeycode(display, armed.keysym);
    if (code == 0)
        return false;
    grabRefused = false;
    const Window root = DefaultRootWindow(display);
    XSync(display, False);
    const auto previous = XSetErrorHandler(noteRefusal);
    for (const unsigned locks : lockMasks())
        XGrabKey(display, code, armed.modifiers | locks, root, False, GrabModeAsync, GrabModeAsync);
    XSync(display, False);
    XSetErrorHandler(previous);
    if (grabRefused)
        XUngrabKey(display, code, AnyModifier, root);
    return !grabRefused;
}

} // namespace

namespace Hotkey {

Combo parse(const std::string& text) {
    Combo combo;
    static const std::pair<const char*, unsigned> modifiers[] = {
        {"ctrl", ControlMask}, {"shift", ShiftMask}, {"alt", Mod1Mask}, {"super", Mod4Mask}};
    std::size_t at = 0;
    for (std::size_t plus; (plus = text.find('+', at)) != std::string::npos && plus + 1 < text.size();
         at = plus + 1) {
        std::string name = text.substr(at, plus - at);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const auto* known = std::find_if(std::begin(modifiers), std::end(modifiers),
                                         [&](const auto& m) { return name == m.first; });
        if (known == std::end(modifiers)) {
            combo.problem = "\"" + text.substr(at, plus - at) + "\" in \"" + text +
                            "\" is not a modifier (Ctrl, Shift, Alt, Super)";
            return combo;
        }
        combo.modifiers |= known->second;
    }
    const std::string key = text.substr(at);
    combo.keysym = key.empty() ? NoSymbol : XStringToKeysym(key.c_str());
    if (combo.keysym == NoSymbol) {
        combo.problem = "X knows no key named \"" + key + "\" (in \"" + text + "\")";
        return combo;
    }
    for (const auto& [name, mask] : modifiers)
        if ((combo.modifiers & mask) != 0)
            combo.shown += std::string(1, static_cast<char>(std::toupper(name[0]))) + (name + 1) + "+";
    combo.shown += key;
    return combo;
}

bool arm(const std::string& setting) {
    if (setting.empty())
        return false;
    armed = parse(setting);
    if (!armed.problem.empty()) {
        Notice::line("hotkey: " + armed.problem + "; no hotkey");
        return false;
    }
    display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        Notice::line("hotkey: the display cannot be reached; no hotkey");
        return false;
    }
    if (!grab()) {
        Notice::line("hotkey " + armed.shown +
                     (code == 0 ? " is on no key of this keyboard; no hotkey"
                                : " is held by another program, or another brannoc; no hotkey"));
        release();
        return false;
    }
    // The server then sends no release between the repeated presses of a held key.
    Bool detectable = False;
    XkbSetDetectableAutoRepeat(display, True, &detectable);
    Notice::line("hotkey " + armed.shown);
    if (const char* wayland = std::getenv("WAYLAND_DISPLAY"); wayland != nullptr && wayland[0] != '\0')
        Notice::line("under Wayland the hotkey is seen only while an X11 window has the focus; bind "
                     "brannoc-click in the desktop's keyboard shortcuts to count from anywhere");
    return true;
}

int takePresses() {
    int presses = 0;
    while (display != nullptr && XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MappingNotify && event.xmapping.request != MappingPointer) {
            // The key or the lock modifiers may have moved. X also says so whenever typing moves
            // to another keyboard, just before the key that moved it: the grabs are renewed over
            // the ones held, never let go first, so that key's press still comes here.
            XRefreshKeyboardMapping(&event.xmapping);
            const KeyCode before = code;
            const bool held = grab();
            if (before != 0 && (!held || before != code))
                XUngrabKey(display, before, AnyModifier, DefaultRootWindow(display));
            if (!held)
                Notice::line("hotkey " + armed.shown + " was lost with a new keyboard mapping");
            continue;
        }
        // While the key is down its grab is active and every other key comes here too: the
        // modifiers' releases and the keys pressed meanwhile count nothing.
        if ((event.type != KeyPress && event.type != KeyRelease) || event.xkey.keycode != code)
            continue;
        if (event.type == KeyPress) {
            // Without detectable auto-repeat a held key sends release/press pairs with one time
            // stamp, and the press of a pair may come in a later read than its release.
            presses += keyDown || event.xkey.time == releasedAt ? 0 : 1;
            keyDown = true;
        } else {
            keyDown = false;
            releasedAt = event.xkey.time;
        }
    }
    return presses;
}

void release() {
    if (display == nullptr)
        return;
    if (code != 0)
        XUngrabKey(display, code, AnyModifier, DefaultRootWindow(display));
    XCloseDisplay(display);
    display = nullptr;
    code = 0;
    keyDown = false;
}

} // namespace Hotkey

#include "trigger/ClientConfig.hpp"
#include "trigger/Hotkey.hpp"

#include <gtest/gtest.h>

#include <X11/X.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <chrono>
#include <thread>
#include <tuple>

TEST(Hotkey, ModifiersInAnyCaseBeforeAKeyNameXKnowsInItsOwnCase) {
    using Row = std::tuple<const char*, unsigned, unsigned long, const char*>;
    for (const auto& [text, modifiers, keysym, shown] :
         {Row{"F10", 0, XK_F10, "F10"}, Row{"KP_Add", 0, XK_KP_Add, "KP_Add"}, Row{"d", 0, XK_d, "d"},
          Row{"shift+CTRL+d", ControlMask | ShiftMask, XK_d, "Ctrl+Shift+d"},
          Row{"Super+alt+Scroll_Lock", Mod1Mask | Mod4Mask, XK_Scroll_Lock, "Alt+Super+Scroll_Lock"}}) {
        const Hotkey::Combo combo = Hotkey::parse(text);
        EXPECT_EQ(std::tie(combo.problem, combo.modifiers, combo.keysym, combo.shown),
                  std::make_tuple(std::string(), modifiers, keysym, std::string(shown)));
    }
    using Bad = std::pair<const char*, const char*>;
    for (const auto& [text, problem] :
         {Bad{"f10", "X knows no key named \"f10\" (in \"f10\")"},
          Bad{"Ctrl+", "X knows no key named \"Ctrl+\" (in \"Ctrl+\")"},
          Bad{"Ctrl+Shift", "X knows no key named \"Shift\" (in \"Ctrl+Shift\")"},
          Bad{"Control+d", "\"Control\" in \"Control+d\" is not a modifier (Ctrl, Shift, Alt, Super)"},
          Bad{"+d", "\"\" in \"+d\" is not a modifier (Ctrl, Shift, Alt, Super)"}})
        EXPECT_EQ(Hotkey::parse(text).problem, problem) << text;
}

// On a screen of its own: a new keyboard mapping that moves the key moves the grab with it, and the
// keycode left behind is free for other programs.
TEST(Hotkey, FollowsItsKeyToTheKeycodeANewMappingGivesIt) {
    Display* x = XOpenDisplay(nullptr);
    ASSERT_NE(x, nullptr);
    ASSERT_TRUE(Hotkey::arm("Ctrl+F10"));
    int low = 0, high = 0;
    XDisplayKeycodes(x, &low, &high);
    int perCode = 0;
    KeySym* map = XGetKeyboardMapping(x, static_cast<KeyCode>(low), high - low + 1, &perCode);
    KeyCode spare = 0;
    for (int code = high; spare == 0 && code >= low; --code)
        spare = map[(code - low) * perCode] == NoSymbol ? static_cast<KeyCode>(code) : 0;
    XFree(map);
    const KeyCode old = XKeysymToKeycode(x, XK_F10), ctrl = XKeysymToKeycode(x, XK_Control_L);
    KeySym f10 = XK_F10, none = NoSymbol;
    ASSERT_NE(spare, 0);
    XChangeKeyboardMapping(x, spare, 1, &f10, 1);
    XChangeKeyboardMapping(x, old, 1, &none, 1);
    XSync(x, False);

    const auto press = [&](KeyCode key) {
        for (const auto& [code, down] : {std::pair{ctrl, True}, {key, True}, {key, False}, {ctrl, False}})
            XTestFakeKeyEvent(x, code, down, CurrentTime);
        XSync(x, False);
    };
    int presses = 0;
    const auto countUntil = [&](int n, int tries) {
        for (; presses < n && tries > 0; --tries) {
            presses += Hotkey::takePresses();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    };
    // Until the client has seen the new mapping its grab is where the key was: press until it counts.
    for (int tries = 0; presses == 0 && tries < 100; ++tries)
        press(spare), countUntil(1, 5);
    EXPECT_EQ(presses, 1);
    static bool refused = false;
    const auto previous = XSetErrorHandler([](Display*, XErrorEvent* e) {
        refused = refused || e->error_code == BadAccess;
        return 0;
    });
    XGrabKey(x, old, ControlMask, DefaultRootWindow(x), False, GrabModeAsync, GrabModeAsync);
    XSync(x, False);
    XSetErrorHandler(previous);
    EXPECT_FALSE(refused);
    Hotkey::release();
    XCloseDisplay(x);
}

TEST(ClientConfig, SettingsCommentsAndOneProblemPerBadLine) {
    using Row = std::tuple<const char*, std::optional<std::string>, std::vector<std::string>>;
    for (const auto& [text, hotkey, problems] : {
             Row{"", std::nullopt, {}},
             Row{"# hotkey = F9\n\n   \n  hotkey =  Ctrl+d  \r\n", "Ctrl+d", {}},
             Row{"hotkey = F9\nhotkey =\n", "", {}}, // the last one wins
             Row{"Hotkey = F9\ncolour = red\nhotkey = F8\n",
                 "F8",
                 {"c.conf:1: unknown setting \"Hotkey\"", "c.conf:2: unknown setting \"colour\""}},
             Row{"junk\n = F9\nhotkey = F7",
                 "F7",
                 {"c.conf:1: not a setting (key = value): junk",
                  "c.conf:2: not a setting (key = value): = F9"}},
         }) {
        const ClientConfig::Settings settings = ClientConfig::parse(text, "c.conf");
        EXPECT_EQ(std::tie(settings.hotkey, settings.problems), std::tie(hotkey, problems)) << text;
    }
}

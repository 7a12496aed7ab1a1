#include "trigger/ClientConfig.hpp"
#include "trigger/Hotkey.hpp"

#include <gtest/gtest.h>

#include <X11/X.h>
#include <X11/keysym.h>

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

#include "trigger/ClickSocket.hpp"
#include "trigger/ClientConfig.hpp"
#include "trigger/Hotkey.hpp"

#include <gtest/gtest.h>

#include <X11/X.h>
#include <X11/keysym.h>

#include <tuple>

TEST(Hotkey, ModifiersInAnyCaseBeforeAKeyNameXKnowsInItsOwnCase) {
    using Row = std::tuple<const char*, unsigned, unsigned long, const char*>;
    for (const auto& [text, modifiers, keysym, shown] :
         {Row{"F10", 0, XK_F10, "F10"}, Row{"Pause", 0, XK_Pause, "Pause"},
          Row{"KP_Add", 0, XK_KP_Add, "KP_Add"}, Row{"d", 0, XK_d, "d"},
          Row{"Ctrl+Shift+d", ControlMask | ShiftMask, XK_d, "Ctrl+Shift+d"},
          Row{"shift+CTRL+d", ControlMask | ShiftMask, XK_d, "Ctrl+Shift+d"},
          Row{"Super+alt+Scroll_Lock", Mod1Mask | Mod4Mask, XK_Scroll_Lock, "Alt+Super+Scroll_Lock"},
          Row{"Ctrl+plus", ControlMask, XK_plus, "Ctrl+plus"}}) {
        const Hotkey::Combo combo = Hotkey::parse(text);
        EXPECT_EQ(combo.problem, "") << text;
        EXPECT_EQ(std::tie(combo.modifiers, combo.keysym, combo.shown), std::tie(modifiers, keysym, shown))
            << text;
    }
    using Bad = std::pair<const char*, const char*>;
    for (const auto& [text, problem] :
         {Bad{"f10", "X knows no key named \"f10\" (in \"f10\")"},
          Bad{"Ctrl+Nonesuch", "X knows no key named \"Nonesuch\" (in \"Ctrl+Nonesuch\")"},
          Bad{"Ctrl+", "X knows no key named \"Ctrl+\" (in \"Ctrl+\")"},
          Bad{"Control+d", "\"Control\" in \"Control+d\" is not a modifier (Ctrl, Shift, Alt, Super)"},
          Bad{"+d", "\"\" in \"+d\" is not a modifier (Ctrl, Shift, Alt, Super)"},
          Bad{"Ctrl+Shift", "X knows no key named \"Shift\" (in \"Ctrl+Shift\")"}})
        EXPECT_EQ(Hotkey::parse(text).problem, problem) << text;
}

TEST(ClientConfig, SettingsCommentsAndOneProblemPerBadLine) {
    using Row = std::tuple<const char*, std::optional<std::string>, std::vector<std::string>>;
    for (const auto& [text, hotkey, problems] : {
             Row{"", std::nullopt, {}},
             Row{"# hotkey = F9\n\n   \nhotkey=F10", "F10", {}},
             Row{"  hotkey =  Ctrl+Shift+d  \r\n", "Ctrl+Shift+d", {}},
             Row{"hotkey = F9\nhotkey = F10\n", "F10", {}}, // the last one wins
             Row{"hotkey =\n", "", {}},
             Row{"Hotkey = F9\ncolour = red\nhotkey = F8\n",
                 "F8",
                 {"c.conf:1: unknown setting \"Hotkey\"", "c.conf:2: unknown setting \"colour\""}},
             Row{"junk\n = F9\nhotkey = F7",
                 "F7",
                 {"c.conf:1: not a setting (key = value): junk",
                  "c.conf:2: not a setting (key = value): = F9"}},
         }) {
        const ClientConfig::Settings settings = ClientConfig::parse(text, "c.conf");
        EXPECT_EQ(settings.hotkey, hotkey) << text;
        EXPECT_EQ(settings.problems, problems) << text;
    }
}

TEST(ClientConfig, TheFilesAndTheSocketsFoldersFollowTheXdgVariablesWhenAbsolute) {
    using Row = std::tuple<const char*, const char*, std::string>;
    for (const auto& [xdg, home, path] :
         {Row{"/x/conf", "/home/a", "/x/conf/brannoc/client.conf"},
          Row{nullptr, "/home/a", "/home/a/.config/brannoc/client.conf"},
          Row{"relative", "/home/a", "/home/a/.config/brannoc/client.conf"}, Row{"", nullptr, ""}})
        EXPECT_EQ(ClientConfig::path(xdg, home), path) << (xdg ? xdg : "unset");
    EXPECT_EQ(ClickSocket::folder("/run/user/1000", 1000), "/run/user/1000/brannoc");
    EXPECT_EQ(ClickSocket::folder(nullptr, 1000), "/tmp/brannoc-1000");
    EXPECT_EQ(ClickSocket::folder("run", 7), "/tmp/brannoc-7");
}

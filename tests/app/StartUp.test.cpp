#include "app/StartUp.hpp"

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>
#include <vector>

TEST(StartUp, OnlyTheExactSwitchWithATokenAfterItSignsIn) {
    const std::pair<const char*, const char*> rows[] = {{"-token tk-9f3", "tk-9f3"},
                                                        {"-token tk-7 extra -token", "tk-7"},
                                                        {"", nullptr},
                                                        {"-token", nullptr},
                                                        {"-TOKEN tk-1", nullptr},
                                                        {"--token tk-2", nullptr},
                                                        {"-tokens tk-3", nullptr},
                                                        {"-toke tk-3", nullptr},
                                                        {"tk-4 -token tk-5", nullptr}};
    for (const auto& [line, token] : rows) {
        std::istringstream words(std::string("brannoc ") + line);
        const std::vector<std::string> args(std::istream_iterator<std::string>(words), {});
        std::vector<const char*> argv;
        for (const std::string& arg : args)
            argv.push_back(arg.c_str());
        EXPECT_EQ(StartUp::tokenArgument(static_cast<int>(argv.size()), argv.data()),
                  token ? std::optional<std::string>(token) : std::nullopt)
            << line;
    }
}

TEST(StartUp, ThePairOfWindowsIsCentredWithItsTopOnTheDesktop) {
    const std::pair<sf::Vector2u, sf::Vector2i> rows[] = {
        {{1920, 1080}, {640, 140}}, {{1921, 1081}, {640, 140}}, {{1024, 600}, {192, 0}},
        {{640, 800}, {0, 0}},       {{599, 799}, {-20, 0}},     {{0, 0}, {-320, 0}}};
    for (const auto& [desktop, place] : rows)
        EXPECT_EQ(StartUp::mainWindowPlace(desktop), place) << desktop.x << " x " << desktop.y;
}

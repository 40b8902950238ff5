#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "command_line.hpp"
#include "test_support.hpp"

namespace twoband {
namespace {

using testing_support::captureOutput;

SettingsChoice choose(std::vector<const char*> args) {
    args.insert(args.begin(), "twoband");
    return parseRequest(static_cast<int>(args.size()), args.data()).choice;
}

TEST(ChooseSettings, AcceptsOnlyAFullSetOfValidValues) {
    struct Case {
        std::vector<const char*> args;
        bool userDefined;
        Settings expected;
    };
    const Settings defaults;
    const Case cases[] = {
        {{"x.wav", "4", "1", "1"}, true, {4.0f, 1.0f, 1}},  // bounds are inclusive
        {{"x.wav", "100", "9", "4"}, true, {100.0f, 9.0f, 4}},
        {{"x.wav", "12abc", " 2.5", "3.9"}, true, {12.0f, 2.5f, 3}},  // longest valid prefix
        {{"x.wav", "0x10", "+1e0", " 4"}, true, {16.0f, 1.0f, 4}},
        {{"x.wav", "3.99", "5", "2"}, false, defaults},  // one bad value discards the rest
        {{"x.wav", "100.01", "5", "2"}, false, defaults},
        {{"x.wav", "20", "0.99", "2"}, false, defaults},
        {{"x.wav", "20", "9.0001", "2"}, false, defaults},
        {{"x.wav", "20", "8", "0"}, false, defaults},
        {{"x.wav", "20", "8", "5"}, false, defaults},
        {{"x.wav", "nan", "8", "2"}, false, defaults},
        {{"x.wav", "20", "nan", "2"}, false, defaults},
        {{"x.wav", "inf", "8", "2"}, false, defaults},
        {{"x.wav", "abc", "8", "2"}, false, defaults},
        {{"x.wav", "", "8", "2"}, false, defaults},
        {{"x.wav", "20", "8", "x2"}, false, defaults},
        {{"x.wav", "20", "8", "4294967298"}, false, defaults},  // saturates, never wraps to 2
        {{"x.wav", "20", "8", "-4294967294"}, false, defaults},
        {{"x.wav", "20", "8"}, false, defaults},  // wrong counts ignore valid values
        {{"x.wav", "20", "8", "2", "extra"}, false, defaults},
        {{"x.wav"}, false, defaults},
        {{}, false, defaults},
    };
    for (const Case& c : cases) {
        const SettingsChoice choice = choose(c.args);
        std::string label;
        for (const char* arg : c.args) label += std::string(arg) + " ";
        EXPECT_EQ(choice.userDefined, c.userDefined) << label;
        EXPECT_EQ(choice.settings.maxGain, c.expected.maxGain) << label;
        EXPECT_EQ(choice.settings.recoverSpeed, c.expected.recoverSpeed) << label;
        EXPECT_EQ(choice.settings.feedbackSpeed, c.expected.feedbackSpeed) << label;
    }
}

TEST(ParseSetting, IntegersSaturateAtThe32BitRange) {
    struct Case {
        const char* text;
        std::optional<std::int32_t> value;
    };
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
    const Case cases[] = {
        {"2", 2},         {"2.5", 2},       {"  -3z", -3},       {"+4", 4},
        {"2147483647", kMax}, {"2147483648", kMax}, {"99999999999999999999999", kMax},
        {"-2147483648", kMin}, {"-2147483649", kMin}, {"", std::nullopt}, {"-", std::nullopt},
        {" ", std::nullopt},  {"x1", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parseIntSetting(c.text), c.value) << '"' << c.text << '"';
    }
}

TEST(ParseSetting, FloatsReadTheLongestPrefix) {
    EXPECT_EQ(parseFloatSetting("20"), 20.0f);
    EXPECT_EQ(parseFloatSetting("\t 8.5kHz"), 8.5f);
    EXPECT_EQ(parseFloatSetting("1e1"), 10.0f);
    EXPECT_EQ(parseFloatSetting("0.1"), 0.1f);  // rounded once, to the nearest binary32
    EXPECT_TRUE(std::isnan(*parseFloatSetting("nan")));
    EXPECT_EQ(parseFloatSetting("."), std::nullopt);
    EXPECT_EQ(parseFloatSetting("e5"), std::nullopt);
}

TEST(StoreName, CutsLongNamesAt124Characters) {
    PathBuffer path;
    path.fill('x');
    storeName(std::string(200, 'a').c_str(), path);
    EXPECT_EQ(std::string(path.data()), std::string(124, 'a'));

    storeName("a", path);  // no minimum length on the command line
    EXPECT_EQ(std::string(path.data()), "a");
    EXPECT_EQ(path[124], '\0');
}

struct PromptRun {
    bool named;
    std::string name;
    std::string output;
};

PromptRun prompt(const std::string& typed) {
    std::FILE* in = std::tmpfile();
    std::fputs(typed.c_str(), in);
    std::rewind(in);
    PromptRun run{};
    PathBuffer path{};
    run.output = captureOutput([&](std::FILE* out) { run.named = promptForName(in, out, path); });
    std::fclose(in);
    run.name = path.data();
    return run;
}

TEST(Prompt, AsksAgainUntilANameOfFiveCharacters) {
    const std::string ask = "\nWAV File to be processed : ";
    struct Case {
        std::string typed;
        bool named;
        std::string name;
        int prompts;
    };
    const Case cases[] = {
        {"a abcd a.wav", true, "a.wav", 3},
        {"  \n\tsong.wav trailing", true, "song.wav", 1},
        {std::string(200, 'b') + "\n", true, std::string(124, 'b'), 1},
        {"", false, "", 1},             // end of input: no endless prompting
        {"abcd\n", false, "", 2},
    };
    for (const Case& c : cases) {
        const PromptRun run = prompt(c.typed);
        EXPECT_EQ(run.named, c.named) << c.typed;
        if (c.named) {
            EXPECT_EQ(run.name, c.name) << c.typed;
        }
        std::string expected;
        for (int i = 0; i < c.prompts; ++i) expected += ask;
        EXPECT_EQ(run.output, expected) << c.typed;
    }
}

TEST(EchoSettings, PrintsHeadingAndValues) {
    EXPECT_EQ(captureOutput([](std::FILE* out) { echoSettings(out, {}); }),
              "Using default settings:\nMax Gain (4-100) = 20.000000\n"
              "Recover Speed (1-9) = 8.000000\nFeedback Speed (1-4) = 2\n\n\n");
    EXPECT_EQ(captureOutput([](std::FILE* out) { echoSettings(out, {{4.5f, 1.25f, 4}, true}); }),
              "User defined settings:\nMax Gain (4-100) = 4.500000\n"
              "Recover Speed (1-9) = 1.250000\nFeedback Speed (1-4) = 4\n\n\n");
}

}  // namespace
}  // namespace twoband

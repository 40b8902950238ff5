#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "console/command_line.hpp"
#include "console/terminal.hpp"
#include "test_support.hpp"

namespace twoband {
namespace {

using testing_support::CapturedConsole;

bool noFiles(const std::string&) { return false; }

SettingsChoice choose(std::vector<const char*> args) {
    args.insert(args.begin(), "twoband");
    return parseRequest({args.begin(), args.end()}, noFiles).choice;
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

TEST(ParseRequest, TakesNamesWholeTellsFilesFromSettingsAndSaysWhySettingsAreNotUsed) {
    const std::vector<std::string> files = {"a.wav", "b.wav", "30"};
    const auto exists = [&](const std::string& name) { return std::find(files.begin(), files.end(), name) != files.end(); };
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> names;
        bool several;
        bool userDefined;
        std::string problem;  // before "; the default settings are used"
    };
    const Case cases[] = {
        {{std::string(300, 'a')}, {std::string(300, 'a')}, false, false, ""},
        {{"my song.wav"}, {"my song.wav"}, false, false, ""},
        {{"a.wav", "20", "4", "3"}, {"a.wav"}, false, true, ""},
        {{"a.wav", "200", "4", "3"}, {"a.wav"}, false, false, "max gain 200 is outside 4 to 100"},
        {{"a.wav", "20", "abc", "3"}, {"a.wav", "20", "abc", "3"}, true, false, ""},  // no number: a name
        {{"a.wav", "20", "8", ".5"}, {"a.wav"}, false, false, "feedback speed '.5' is not a number"},
        {{"a.wav", "20"}, {"a.wav"}, false, false, "only 1 of the 3 settings was given"},
        {{"a.wav", "20", "8"}, {"a.wav"}, false, false, "only 2 of the 3 settings were given"},
        {{"a.wav", "20", "8", "2", "x"}, {"a.wav", "20", "8", "2", "x"}, true, false, ""},
        {{"a.wav", "20", "8", "2", "5"}, {"a.wav"}, false, false, "the file name is followed by 4 arguments, not 3"},
        {{"a.wav", "missing.wav", "b.wav"}, {"a.wav", "missing.wav", "b.wav"}, true, false, ""},  // a typo fails
        {{"a.wav", "out.wav"}, {"a.wav", "out.wav"}, true, false, ""},  // an output named as other tools take it
        {{"a.wav", "x.wav", "y.wav", "z.wav", "w.wav"}, {"a.wav", "x.wav", "y.wav", "z.wav", "w.wav"}, true, false, ""},
        {{"a.wav", "b.wav"}, {"a.wav", "b.wav"}, true, false, ""},
        {{"a.wav", "b.wav", "20", "4", "3"}, {"a.wav", "b.wav"}, true, true, ""},
        {{"a.wav", "b.wav", "20", "4", "9"}, {"a.wav", "b.wav"}, true, false, "feedback speed 9 is outside 1 to 4"},
        {{"a.wav", "b.wav", "x.wav", "4", "3"}, {"a.wav", "b.wav", "x.wav", "4", "3"}, true, false, ""},
        {{"a.wav", "30", "4", "3"}, {"a.wav", "30", "4", "3"}, true, false, ""},  // a file named 30
        {{"a.wav", "b.wav", "30", "4", "3"}, {"a.wav", "b.wav", "30", "4", "3"}, true, false, ""},
        {{"--", "--help"}, {"--help"}, false, false, ""},
        {{"--"}, {}, false, false, ""},  // the prompt
        {{"a.wav", "-q", "-5", "8", "2"}, {"a.wav"}, false, false, "max gain -5 is outside 4 to 100"},
        {{"-", "20", "4", "3"}, {"-"}, false, true, ""},
        {{"/dev/stdin"}, {"-"}, false, false, ""},
        {{"-r", "a.wav"}, {"a.wav"}, true, false, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "twoband");
        const Request request = parseRequest(args, exists);
        std::string label;
        for (const std::string& arg : c.args) label += arg + " ";
        EXPECT_EQ(request.action, Request::Action::run) << label;
        EXPECT_EQ(request.names, c.names) << label;
        EXPECT_EQ(request.severalFiles, c.several) << label;
        EXPECT_EQ(request.choice.userDefined, c.userDefined) << label;
        EXPECT_EQ(request.settingsProblem, c.problem.empty() ? "" : c.problem + "; the default settings are used")
            << label;
    }
}

TEST(ParseRequest, ReadsOptionsWhereverTheyStandAndRefusesWhatFitsNoRun) {
    const std::vector<std::string> files = {"a.wav", "b.wav", "x1.wav", "x2.wav"};
    const auto exists = [&](const std::string& name) { return std::find(files.begin(), files.end(), name) != files.end(); };
    const auto expand = [&](const std::string& pattern) {
        return pattern == "x*.wav" ? std::vector<std::string>{"x1.wav", "x2.wav"} : std::vector<std::string>{};
    };
    struct Case {
        std::vector<std::string> args;
        Request::Action action;
        std::vector<std::string> names;
        Options options;
        std::string problem;
    };
    const auto with = [](auto change) {
        Options options;
        change(options);
        return options;
    };
    using Action = Request::Action;
    const Case cases[] = {
        {{"a.wav", "-o", "out.wav"}, Action::run, {"a.wav"}, with([](Options& o) { o.output = "out.wav"; }), ""},
        {{"--output=out.wav", "a.wav"}, Action::run, {"a.wav"}, with([](Options& o) { o.output = "out.wav"; }), ""},
        {{"-fqoout.wav", "a.wav"}, Action::run, {"a.wav"},
         with([](Options& o) { o.force = o.quiet = true; o.output = "out.wav"; }), ""},
        {{"-d", "out", "a.wav", "b.wav", "-c"}, Action::refuse, {"a.wav", "b.wav"},
         with([](Options& o) { o.outputDir = "out"; o.toStandardOutput = true; }),
         "--stdout cannot be used with --output or --output-dir"},
        {{"--output-dir", "out", "-r", "a.wav", "--raw"}, Action::refuse, {"a.wav"},
         with([](Options& o) { o.outputDir = "out"; o.recursive = o.raw = true; }),
         "--raw takes the files named, not the WAV files of a folder"},
        {{"a.wav", "b.wav", "-o", "out.wav"}, Action::refuse, {"a.wav", "b.wav"},
         with([](Options& o) { o.output = "out.wav"; }),
         "--output names the output of one input; --output-dir takes the outputs of several"},
        {{"-c", "a.wav", "b.wav"}, Action::refuse, {"a.wav", "b.wav"}, with([](Options& o) { o.toStandardOutput = true; }),
         "--stdout takes the result of one input"},
        {{"-", "a.wav"}, Action::refuse, {"-", "a.wav"}, {}, "standard input (-) can only be the one input"},
        {{"-d", "out", "-"}, Action::refuse, {"-"}, with([](Options& o) { o.outputDir = "out"; }),
         "standard input has no file name for --output-dir; use --output"},
        {{"a.wav", "-o"}, Action::refuse, {}, {}, "option '-o' needs a value"},
        {{"a.wav", "--quiet=yes"}, Action::refuse, {}, {}, "option '--quiet' takes no value"},
        {{"a.wav", "--frce"}, Action::refuse, {}, {}, "unknown option '--frce'"},
        {{"a.wav", "-qz"}, Action::refuse, {}, with([](Options& o) { o.quiet = true; }), "unknown option '-z'"},
        {{"a.wav", "--", "-o", "b.wav"}, Action::run, {"a.wav", "-o", "b.wav"}, {}, ""},
        {{"-o", "a.wav", "b.wav", "-ob.wav"}, Action::refuse, {}, with([](Options& o) { o.output = "a.wav"; }),
         "option '-o' given twice, as 'a.wav' and 'b.wav'"},
        {{"-d", "out", "a.wav", "--output-dir=out"}, Action::run, {"a.wav"}, with([](Options& o) { o.outputDir = "out"; }), ""},
        {{"x*.wav", "y*.wav", "30", "4", "3"}, Action::run, {"x1.wav", "x2.wav", "y*.wav"}, {}, ""},
        {{"--dither=none", "a.wav"}, Action::run, {"a.wav"}, with([](Options& o) { o.dither = "none"; }), ""},
        {{"a.wav", "--dither", "triangular"}, Action::run, {"a.wav"}, with([](Options& o) { o.dither = "triangular"; }), ""},
        {{"a.wav", "--dither=rectangular"}, Action::refuse, {"a.wav"}, with([](Options& o) { o.dither = "rectangular"; }),
         "--dither takes triangular or none, not 'rectangular'"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "twoband");
        const Request request = parseRequest(args, exists, expand);
        std::string label;
        for (const std::string& arg : c.args) label += arg + " ";
        EXPECT_EQ(request.action, c.action) << label;
        EXPECT_EQ(request.problem, c.problem) << label;
        if (c.action == Action::run || !c.names.empty()) {
            EXPECT_EQ(request.names, c.names) << label;
        }
        const Options& o = request.options;
        EXPECT_EQ(std::tie(o.force, o.raw, o.quiet, o.toStandardOutput, o.recursive, o.output, o.outputDir, o.dither),
                  std::tie(c.options.force, c.options.raw, c.options.quiet, c.options.toStandardOutput,
                           c.options.recursive, c.options.output, c.options.outputDir, c.options.dither))
            << label;
    }
    // A pattern that matches nothing is kept, to fail as a name that says why.
    const Request unmatched = parseRequest({"twoband", "x*.wav", "y*.wav", "30", "4", "3"}, exists, expand);
    EXPECT_EQ(unmatched.unmatched, std::vector<std::string>{"y*.wav"});
    EXPECT_TRUE(unmatched.choice.userDefined);
}

struct PromptRun {
    std::optional<std::string> name;
    std::string output;
    std::string errors;
};

// Prompts with `typed` as standard input, read line by line. A prompt that goes on
// asking after the end of the input fails at once instead of hanging.
PromptRun prompt(const std::string& typed, const NameExists& exists = nullptr) {
    std::FILE* in = std::tmpfile();
    std::fputs(typed.c_str(), in);
    std::rewind(in);
    CapturedConsole console;
    int pastTheEnd = 0;
    const auto readTyped = [&] {
        std::optional<std::string> line = readLine(in);
        if (!line && ++pastTheEnd > 1) throw std::runtime_error("asked again after the end of the input");
        return line;
    };
    PromptRun run;
    try {
        run.name = promptForName(readTyped, console, exists);
    } catch (const std::runtime_error& endless) {
        ADD_FAILURE() << endless.what();
    }
    std::fclose(in);
    run.output = console.output;
    run.errors = console.errors;
    return run;
}

TEST(Prompt, TakesALineAsANameOfFiveCharactersOrMore) {
    const std::string ask = "\nWAV File to be processed : ";
    struct Case {
        std::string typed;
        std::optional<std::string> name;
        int prompts;
        std::string errors = {};
    };
    const std::string noName = "twoband: standard input holds no name (control bytes in the line); - reads audio "
                               "from standard input: cat song.wav | twoband -\n";
    const Case cases[] = {
        {"my song.wav\n", "my song.wav", 1},
        // Dragged from a file manager, where no file has the name as typed.
        {"file:///music/My%20Song.wav\n", "/music/My Song.wav", 1},
        {"file://localhost/music/My%20Song.wav\n", "/music/My Song.wav", 1},
        {"/music/My\\ Song.wav\n", "/music/My Song.wav", 1},
        {"file:///music/Other%20Song.wav\n", "file:///music/Other%20Song.wav", 1},  // no such file either
        {"RIFF\x24\x10\x01\x02WAVEfmt \n", std::nullopt, 1, noName},  // audio piped in: nothing echoed
        {"song.wav\x7F\n", std::nullopt, 1, noName},
        {"  \t'/music/my song.wav'  \r\n", "/music/my song.wav", 1},  // dragged into a terminal
        {"\"C:\\Music\\song.wav\"\n", "C:\\Music\\song.wav", 1},
        {"abcd\n\n''\nsong.wav", "song.wav", 4},  // short lines asked again; no line end at the end
        {"a\nabcd\na.wav\n", "a.wav", 3},          // five characters are enough
        {"'a.wav\n", "'a.wav", 1},                  // an unpaired quote is part of the name
        {"'my song.wav\"\n", "'my song.wav\"", 1},  // so are two that do not pair
        {"Éabc\n", std::nullopt, 2},                // four characters, five bytes
        {"", std::nullopt, 1},  // end of input: no endless prompting
    };
    const auto exists = [](const std::string& name) { return name == "/music/My Song.wav"; };
    for (const Case& c : cases) {
        const PromptRun run = prompt(c.typed, exists);
        EXPECT_EQ(run.name, c.name) << c.typed;
        EXPECT_EQ(run.errors, c.errors) << c.typed;
        std::string expected;
        for (int i = 0; i < c.prompts; ++i) expected += ask;
        EXPECT_EQ(run.output, expected) << c.typed;
    }
}

TEST(EchoSettings, PrintsHeadingAndValues) {
    CapturedConsole defaults;
    echoSettings(defaults, {});
    EXPECT_EQ(defaults.output, "Using default settings:\nMax Gain (4-100) = 20.000000\n"
                            "Recover Speed (1-9) = 8.000000\nFeedback Speed (1-4) = 2\n\n\n");
    CapturedConsole userDefined;
    echoSettings(userDefined, {{4.5f, 1.25f, 4}, true});
    EXPECT_EQ(userDefined.output, "User defined settings:\nMax Gain (4-100) = 4.500000\n"
                               "Recover Speed (1-9) = 1.250000\nFeedback Speed (1-4) = 4\n\n\n");
}

TEST(Terminal, WaitsForEnterOnlyInAWindowOfItsOwn) {
    EXPECT_TRUE(waitsForEnter(1, true));    // dropped onto the program, or double-clicked
    EXPECT_FALSE(waitsForEnter(2, true));   // run from a console
    EXPECT_FALSE(waitsForEnter(1, false));  // input redirected
    EXPECT_FALSE(waitsForEnter(0, false));  // no console at all
    EXPECT_FALSE(waitsForEnter(0, true));   // no list of the console's processes
}

TEST(Terminal, AClosedStandardStreamIsHeldSoThatNoFileTakesItsNumber) {
    // In a child, each stream closed in turn: afterwards a file the run opens gets
    // another number, and writing to the stream still fails as it did.
    for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        const pid_t child = fork();
        if (child == 0) {
            close(stream);
            holdClosedStandardStreams();
            const int file = open("/dev/null", O_WRONLY);
            const bool fails = stream == STDIN_FILENO || (write(stream, "x", 1) < 0 && errno == EBADF);
            _exit(file != stream && fails ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "stream " << stream;
    }
}

TEST(Terminal, ReadsEachLineWithoutItsLineEnd) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"a\nbc\n", {"a", "bc"}},
        {"a\nbc", {"a", "bc"}},  // the last line needs no line end
        {"\n\n", {"", ""}},
        {"a\r\n", {"a\r"}},  // only "\n" ends a line
        {"", {}},
    };
    for (const auto& [text, lines] : cases) {
        std::FILE* in = std::tmpfile();
        std::fputs(text.c_str(), in);
        std::rewind(in);
        std::vector<std::string> read;
        while (const std::optional<std::string> line = readLine(in)) read.push_back(*line);
        std::fclose(in);
        EXPECT_EQ(read, lines) << text;
    }
}

}  // namespace
}  // namespace twoband

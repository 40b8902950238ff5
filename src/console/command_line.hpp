#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console/console.hpp"
#include "delivery/delivery_settings.hpp"
#include "settings.hpp"

namespace twoband {

// A name typed at the prompt must have at least this many characters (UTF-8 code
// points).
constexpr std::size_t kMinPromptedNameLength = 5;

// The settings in force and whether they came from the command line.
struct SettingsChoice {
    Settings settings;
    bool userDefined = false;
};

// The name that stands for standard input (and, as an output, standard output).
inline constexpr char kStandardStream[] = "-";

// What the options ask of a run.
struct Options {
    bool force = false;      // replace whatever stands at an output name
    bool raw = false;        // header-blind: stereo frames from byte 44, whatever the file is
    bool quiet = false;      // nothing on standard output; failures still say why
    bool toStandardOutput = false;  // the result of the one input on standard output
    bool recursive = false;  // a folder stands for the WAV files under it
    std::optional<std::string> output;     // the output of the one input ("-": standard output)
    std::optional<std::string> outputDir;  // where every output goes, under its input's file name
    // The delivery stage's options as given (--loudness, --true-peak, --target,
    // --report, --measure), and what they ask for, read from them.
    std::optional<std::string> loudness;
    std::optional<std::string> truePeak;
    std::optional<std::string> target;
    std::optional<std::string> report;
    bool measure = false;
    DeliverySettings delivery;
    // How samples that are not 16-bit reach 16 bits: "triangular" (the default) or "none".
    std::optional<std::string> dither;
};

// What a command line asks for, read once: help, the version, a run (with where its
// input names come from, the settings in force and the options), or nothing, for a
// command line that cannot be read.
struct Request {
    enum class Action { help, version, run, refuse };
    enum class NameSource {
        arguments,  // the arguments name the input files
        prompt,     // no argument: ask at the prompt
        missing,    // not even a program name (a count of 0)
    };
    Action action = Action::run;
    NameSource nameSource = NameSource::missing;
    std::vector<std::string> names;  // the files, whole, in the order given
    bool severalFiles = false;       // the several-files form, with its own transcript
    SettingsChoice choice;
    // Why settings that were given are not used ("max gain 200 is outside 4 to 100");
    // empty when none were given, or all were used.
    std::string settingsProblem;
    Options options;
    // Why the command line is refused ("unknown option '--frce'").
    std::string problem;
    // Wildcard patterns among the names that matched no file.
    std::vector<std::string> unmatched;
};

// Whether something stands at a name: tells files from settings.
using NameExists = std::function<bool(const std::string&)>;
// The names a wildcard pattern matches (none when it matches nothing).
using ExpandWildcards = std::function<std::vector<std::string>(const std::string&)>;

// Reads the program's arguments, its own name first. Options may stand anywhere before
// "--", which ends them; an argument that reads as a number ("-5") is a setting, "-"
// (or /dev/stdin, /dev/fd/0) standard input, and /? asks for help as the sole
// argument. Long options take their value after '=' or as the next argument; short
// ones may be grouped ("-fq", "-oout.wav").
// The other arguments, in order:
// - One file: a sole argument, or one followed by arguments none of which names a
//   file. The settings are the next three arguments, used when exactly three are
//   given and all are valid; otherwise all three take their defaults.
// - Several files: some argument after the first names a file, or --recursive. The
//   last three arguments are the settings when none of them names a file and all
//   three read as numbers (used when valid, as for one file); every other argument is
//   a file.
// Options that fit no such run (--output with several inputs, standard input among
// others) refuse the command line. With `expand` (Windows, whose shells pass
// wildcards on), a name with * or ? stands for the names it matches; one that
// matches nothing stays, and is listed as unmatched.
Request parseRequest(const std::vector<std::string>& arguments, const NameExists& exists,
                     const ExpandWildcards& expand = nullptr);

// The text printed for --help, and the hint after a command line that is refused.
extern const char* const kUsageText;
extern const char* const kUsageHint;

// A line typed at the prompt as a name: without the blanks around it, and without one
// pair of quotes around it (a path dragged into a terminal arrives quoted).
std::string nameFromLine(std::string_view line);

// Prompts on `console` and reads lines with `readLine` until one names a file of at
// least kMinPromptedNameLength characters; nothing at the end of the input, and
// nothing (with why on standard error, never the bytes) for a line with control bytes
// in it: audio piped in where a name was asked for. Where `exists` is given and no
// file has the name as typed, a dragged file:// URI or a path with backslash-escaped
// spaces is taken as the name it stands for (not on Windows, whose names hold
// backslashes).
std::optional<std::string> promptForName(const std::function<std::optional<std::string>()>& readLine,
                                         Console& console, const NameExists& exists = nullptr);

// Reads the longest leading decimal or hexadecimal floating-point number of `text`
// after white space, as "%f" would; nothing if no number starts there.
std::optional<float> parseFloatSetting(const char* text);

// Reads the longest leading decimal integer of `text` after white space, as "%d"
// would; values beyond the 32-bit range saturate. Nothing if no number starts there.
std::optional<std::int32_t> parseIntSetting(const char* text);

// Prints the heading and the three settings.
void echoSettings(Console& console, const SettingsChoice& choice);

}  // namespace twoband

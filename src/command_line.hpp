#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console.hpp"
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

// What a command line asks for, read once: help, the version, or a run, with where its
// input names come from and the settings in force.
struct Request {
    enum class Action { help, version, run };
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
};

// Whether something stands at a name: tells files from settings.
using NameExists = std::function<bool(const std::string&)>;

// Reads the program's arguments, its own name first. "--" first ends the options;
// otherwise --help, -h, /? and --version count only as the sole argument.
// - One file: a sole argument, or a second one that names nothing. The settings are
//   the next three arguments, used when exactly three are given and all are valid;
//   otherwise all three take their defaults.
// - Several files: a second argument that names a file. The last three arguments
//   are the settings when none of them names a file and all three read as numbers
//   (used when valid, as for one file); every other argument is a file.
Request parseRequest(const std::vector<std::string>& arguments, const NameExists& exists);

// The text printed for --help.
extern const char* const kUsageText;

// A line typed at the prompt as a name: without the blanks around it, and without one
// pair of quotes around it (a path dragged into a terminal arrives quoted).
std::string nameFromLine(std::string_view line);

// Prompts on `console` and reads lines with `readLine` until one names a file of at
// least kMinPromptedNameLength characters; nothing at the end of the input.
std::optional<std::string> promptForName(const std::function<std::optional<std::string>()>& readLine,
                                         Console& console);

// Reads the longest leading decimal or hexadecimal floating-point number of `text`
// after white space, as "%f" would; nothing if no number starts there.
std::optional<float> parseFloatSetting(const char* text);

// Reads the longest leading decimal integer of `text` after white space, as "%d"
// would; values beyond the 32-bit range saturate. Nothing if no number starts there.
std::optional<std::int32_t> parseIntSetting(const char* text);

// Prints the heading and the three settings.
void echoSettings(Console& console, const SettingsChoice& choice);

}  // namespace twoband

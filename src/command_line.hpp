#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

#include "sample_file.hpp"
#include "settings.hpp"

namespace twoband {

// A name typed at the prompt must have at least this many characters.
constexpr std::size_t kMinPromptedNameLength = 5;

// The settings in force and whether they came from the command line.
struct SettingsChoice {
    Settings settings;
    bool userDefined = false;
};

// What a command line asks for, read once: help, the version, or a run, with where its
// input name comes from and the settings in force.
struct Request {
    enum class Action { help, version, run };
    enum class NameSource {
        argument,  // the first argument names the input
        prompt,    // no argument: ask at the prompt
        missing,   // not even a program name (a count of 0)
    };
    Action action = Action::run;
    NameSource nameSource = NameSource::missing;
    const char* name = nullptr;  // the first argument, for NameSource::argument
    SettingsChoice choice;
};

// --help, -h and --version count only as the sole argument. Settings are user-defined
// when exactly a name and three valid settings are given, the defaults otherwise.
Request parseRequest(int argc, const char* const argv[]);

// The text printed for --help.
extern const char* const kUsageText;

// Copies `name` into `path`, cut after kMaxNameLength characters.
void storeName(const char* name, PathBuffer& path);

// Prompts on `out` and reads white-space-delimited words from `in` until one of at
// least kMinPromptedNameLength characters arrives. Returns false at the end of `in`.
bool promptForName(std::FILE* in, std::FILE* out, PathBuffer& path);

// Reads the longest leading decimal or hexadecimal floating-point number of `text`
// after white space, as "%f" would; nothing if no number starts there.
std::optional<float> parseFloatSetting(const char* text);

// Reads the longest leading decimal integer of `text` after white space, as "%d"
// would; values beyond the 32-bit range saturate. Nothing if no number starts there.
std::optional<std::int32_t> parseIntSetting(const char* text);

// Prints the heading and the three settings.
void echoSettings(std::FILE* out, const SettingsChoice& choice);

}  // namespace twoband

#include "console/command_line.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <span>
#include <string>
#include <string_view>

namespace twoband {

namespace {

constexpr std::size_t kSettingCount = 3;

// Characters of UTF-8 text: the bytes that start one.
std::size_t characters(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

// Why one setting's argument cannot be used; empty when it can.
template <typename Value>
std::string settingProblem(const char* setting, const std::string& text, const std::optional<Value>& value,
                           Value lowest, Value highest) {
    if (!value) {
        return std::string(setting) + " '" + text + "' is not a number";
    }
    if (!inRange(static_cast<float>(*value), static_cast<float>(lowest), static_cast<float>(highest))) {
        char range[40];
        std::snprintf(range, sizeof range, "%g to %g", static_cast<double>(lowest), static_cast<double>(highest));
        return std::string(setting) + " " + text + " is outside " + range;
    }
    return {};
}

// Three arguments read as settings, each where it starts with a number.
struct SettingTexts {
    explicit SettingTexts(std::span<const std::string> arguments)
        : texts(arguments),
          maxGain(parseFloatSetting(arguments[0].c_str())),
          recoverSpeed(parseFloatSetting(arguments[1].c_str())),
          feedbackSpeed(parseIntSetting(arguments[2].c_str())) {}

    bool allNumbers() const { return maxGain && recoverSpeed && feedbackSpeed; }

    // The settings, checked in order; the defaults and the first problem when one fails.
    SettingsChoice choose(std::string& problem) const {
        for (std::string failed :
             {settingProblem("max gain", texts[0], maxGain, kMaxGainLowest, kMaxGainHighest),
              settingProblem("recover speed", texts[1], recoverSpeed, kRecoverSpeedLowest, kRecoverSpeedHighest),
              settingProblem("feedback speed", texts[2], feedbackSpeed, kFeedbackSpeedLowest,
                             kFeedbackSpeedHighest)}) {
            if (!failed.empty()) {
                problem = std::move(failed);
                return {};
            }
        }
        return {{*maxGain, *recoverSpeed, *feedbackSpeed}, true};
    }

    std::span<const std::string> texts;
    std::optional<float> maxGain;
    std::optional<float> recoverSpeed;
    std::optional<std::int32_t> feedbackSpeed;
};

// The options, by their long and short names: flags, and those that take a value.
struct Option {
    std::string_view name;  // after "--"
    char letter;            // after "-"; 0 for none
    bool Options::*flag;
    std::optional<std::string> Options::*value;
};

constexpr Option kOptions[] = {
    {"force", 'f', &Options::force, nullptr},
    {"raw", 0, &Options::raw, nullptr},
    {"quiet", 'q', &Options::quiet, nullptr},
    {"stdout", 'c', &Options::toStandardOutput, nullptr},
    {"recursive", 'r', &Options::recursive, nullptr},
    {"output", 'o', nullptr, &Options::output},
    {"output-dir", 'd', nullptr, &Options::outputDir},
    {"loudness", 0, nullptr, &Options::loudness},
    {"true-peak", 0, nullptr, &Options::truePeak},
    {"target", 0, nullptr, &Options::target},
    {"report", 0, nullptr, &Options::report},
    {"measure", 0, &Options::measure, nullptr},
    {"dither", 0, nullptr, &Options::dither},
};

const Option* findOption(std::string_view name, char letter) {
    for (const Option& option : kOptions) {
        if (letter != 0 ? option.letter == letter : option.name == name) return &option;
    }
    return nullptr;
}

// Splits the arguments into the options, which it applies to `request`, and the rest,
// in order. False, with the problem in `request`, where an option is not known or
// lacks its value.
bool readOptions(std::span<const std::string> given, Request& request, std::vector<std::string>& rest) {
    for (std::size_t i = 0; i < given.size(); ++i) {
        const std::string& argument = given[i];
        if (argument == "--") {
            rest.insert(rest.end(), given.begin() + static_cast<std::ptrdiff_t>(i) + 1, given.end());
            break;
        }
        if (argument.size() < 2 || argument[0] != '-' || parseFloatSetting(argument.c_str())) {
            rest.push_back(argument);  // a name, "-", or a number
            continue;
        }
        const bool isLong = argument[1] == '-';
        const std::string_view text = std::string_view(argument).substr(isLong ? 2 : 1);
        for (std::size_t at = 0; at < text.size();) {
            // One option: a long one is the whole argument; short ones follow each other.
            const std::string_view name = isLong ? text.substr(0, text.find('=')) : text.substr(at, 1);
            const std::string shown = (isLong ? "--" : "-") + std::string(name);
            std::optional<std::string_view> attached;  // a value in the same argument
            if (isLong && name.size() < text.size()) attached = text.substr(name.size() + 1);
            if (!isLong && at + 1 < text.size()) attached = text.substr(at + 1);
            at = isLong ? text.size() : at + 1;
            if (isLong ? name == "help" || name == "version" : name == "h") {
                request.action = name == "version" ? Request::Action::version : Request::Action::help;
                if (isLong && attached) {
                    request.problem = "option '" + shown + "' takes no value";
                    return false;
                }
                continue;
            }
            const Option* option = findOption(isLong ? name : std::string_view{}, isLong ? 0 : name[0]);
            if (option == nullptr) {
                request.problem = "unknown option '" + shown + "'";
                return false;
            }
            if (option->flag != nullptr) {
                if (isLong && attached) {
                    request.problem = "option '" + shown + "' takes no value";
                    return false;
                }
                request.options.*option->flag = true;
                continue;
            }
            if (!attached) {
                if (i + 1 == given.size()) {
                    request.problem = "option '" + shown + "' needs a value";
                    return false;
                }
                attached = given[++i];
            }
            std::optional<std::string>& value = request.options.*option->value;
            if (value && *value != *attached) {
                request.problem = "option '" + shown + "' given twice, as '" + *value + "' and '" + std::string(*attached) + "'";
                return false;
            }
            value = std::string(*attached);
            at = text.size();  // a short option's value is the rest of its argument
        }
    }
    return true;
}

// Why the options fit no run of these input names; empty when they do.
std::string optionsProblem(const Options& options, const std::vector<std::string>& names) {
    const bool one = names.size() == 1 && !options.recursive;
    const bool standardInput = std::find(names.begin(), names.end(), kStandardStream) != names.end();
    if (standardInput && names.size() > 1) return "standard input (-) can only be the one input";
    if (options.output && options.outputDir) return "--output and --output-dir cannot be used together";
    if (options.toStandardOutput && (options.output || options.outputDir)) {
        return "--stdout cannot be used with --output or --output-dir";
    }
    if (options.output && !one && !names.empty()) {
        return "--output names the output of one input; --output-dir takes the outputs of several";
    }
    if (options.toStandardOutput && !one && !names.empty()) return "--stdout takes the result of one input";
    if (options.outputDir && standardInput) return "standard input has no file name for --output-dir; use --output";
    if (options.dither && *options.dither != "triangular" && *options.dither != "none") {
        return "--dither takes triangular or none, not '" + *options.dither + "'";
    }
    if (options.raw && options.recursive) return "--raw takes the files named, not the WAV files of a folder";
    return deliveryProblem(options.loudness, options.truePeak, options.target);
}

}  // namespace

const char* const kUsageHint = "Try 'twoband --help' for the options.\n";

const char* const kUsageText =
    "Usage: twoband [OPTION]... [FILE... [MAXGAIN RECOVERSPEED FEEDBACKSPEED]]\n"
    "       twoband --help | -h | /? | --version\n"
    "\n"
    "Compresses FILE, a WAV or FLAC file, with a two-band compressor and writes\n"
    "the result beside it with a C in front of the file name (music/song.wav\n"
    "becomes music/Csong.wav). Only the samples of the data chunk are compressed;\n"
    "every other byte is kept. WAV files are read as RIFF, RF64, BW64 or Wave64 (the\n"
    "last three at any size, others up to 4 GiB); any other file is refused, and\n"
    "standard error says what it is and how to convert it. The result is 16-bit:\n"
    "8-, 24- and 32-bit and float samples are brought to 16 bits (exactly where they\n"
    "are on its grid, else with dither); FLAC is written as FLAC with its tags.\n"
    "Stereo, mono and more channels (in pairs, 1+2, 3+4 ..., an odd last one as\n"
    "mono). Without FILE, the name is asked for at a prompt; FILE - is standard\n"
    "input, read as a stream.\n"
    "\n"
    "Every output carries a mark (an extended attribute; on Windows an NTFS\n"
    "stream) naming its input and the digest of its bytes. An existing file at the\n"
    "output name is replaced only when its mark names the same input and its bytes\n"
    "still match; anything else is kept, and that file fails, unless --force.\n"
    "Where the file system keeps no marks (FAT, exFAT, some shares) nothing is\n"
    "replaced without --force. An input whose mark names an input beside it is\n"
    "left as it is, so a second run over the same files makes no CCx.wav.\n"
    "\n"
    "Options, before or after the files (-- ends them; -5 is a number):\n"
    "  -o, --output=FILE      write the output of the one input to FILE (- for\n"
    "                         standard output)\n"
    "  -d, --output-dir=DIR   write every output into DIR, under its input's name\n"
    "                         (with -r, in the folders found under the one named)\n"
    "  -c, --stdout           write the output of the one input to standard output\n"
    "  -r, --recursive        a folder stands for every WAV and FLAC file under it\n"
    "                         (.wav, .wave, .bwf, .rf64, .w64, .flac), hidden ones\n"
    "                         left out\n"
    "  -f, --force            replace whatever file stands at an output name\n"
    "  -q, --quiet            print nothing on standard output; reasons for\n"
    "                         failures still go to standard error\n"
    "      --raw              read every file named header-blind: 16-bit stereo\n"
    "                         frames from byte 44 to the end, whatever it holds\n"
    "      --target=NAME      bring each output to a loudness target and a\n"
    "                         true-peak ceiling after the compressor: podcast\n"
    "                         (-16 LUFS, -1 dBTP), r128 (-23, -1), streaming (-14, -1)\n"
    "      --loudness=LUFS    the loudness target, -70 to 0 (ceiling -1 dBTP)\n"
    "      --true-peak=DBTP   the true-peak ceiling, -9 to 0 (alone: only the limiter)\n"
    "      --measure          print each output's loudness, range and true peak\n"
    "      --report=FILE      write the figures of each file to FILE, a JSON object\n"
    "                         a line\n"
    "      --dither=triangular|none\n"
    "                         how samples finer than 16 bits are brought to 16\n"
    "                         bits: with TPDF dither (the default) or rounded\n"
    "  -h, --help, /?         print this help\n"
    "      --version          print the version\n"
    "While standard output carries audio, every message goes to standard error;\n"
    "audio is never written to a terminal.\n"
    "\n"
    "Several files are compressed when an argument after the first names an\n"
    "existing file or reads as no number, about one per processor at a time; the\n"
    "last three arguments are the settings when none names a file and all are\n"
    "numbers. To name an output, give -o: twoband song.wav -o out.wav.\n"
    "\n"
    "Settings, used only when all three are given and valid (else all defaults, and\n"
    "standard error says why):\n"
    "  MAXGAIN        highest gain a band recovers to, 4 to 100 (default 20)\n"
    "  RECOVERSPEED   how fast gains recover, 1 to 9 (default 8)\n"
    "  FEEDBACKSPEED  how hard peaks pull the high bands down, 1 to 4 (default 2)\n"
    "\n"
    "Examples:\n"
    "  twoband song.wav 30 4 3\n"
    "  twoband -r Music -d Compressed\n"
    "  twoband --target=podcast episode.wav\n"
    "  ffmpeg -i episode.mp3 -f wav - | twoband - | ffmpeg -i - episode-c.mp3\n"
    "  sox album.flac -t wav - | twoband - | sox -t wav - Calbum.flac\n"
    "\n"
    "Exit status: 0 when every output was written (the run ends with \"Done !\" or a\n"
    "summary without failures), and for --help and --version; 1 when one was not,\n"
    "or the command line cannot be used. Standard error says why, as\n"
    "\"twoband: NAME: REASON\". A file named --help can be given as ./--help.\n";

Request parseRequest(const std::vector<std::string>& arguments, const NameExists& exists,
                     const ExpandWildcards& expand) {
    Request request;
    if (arguments.empty()) {
        return request;
    }
    if (arguments.size() == 2 && arguments[1] == "/?") {
        request.action = Request::Action::help;
        return request;
    }
    std::vector<std::string> rest;
    if (!readOptions(std::span(arguments).subspan(1), request, rest)) {
        request.action = Request::Action::refuse;
        return request;
    }
    if (request.action != Request::Action::run) {
        return request;
    }
    Options& options = request.options;
    options.delivery = deliverySettings(options.loudness, options.truePeak, options.target, options.measure);
    options.delivery.report = options.report;
    std::replace_if(rest.begin(), rest.end(), [](const std::string& name) { return name == "/dev/stdin" || name == "/dev/fd/0"; },
                    std::string(kStandardStream));
    if (expand) {
        std::vector<std::string> expanded;
        for (std::string& name : rest) {
            std::vector<std::string> matches =
                name.find_first_of("*?") == std::string::npos ? std::vector<std::string>{name} : expand(name);
            if (matches.empty()) {  // kept, to fail as a name that says why
                request.unmatched.push_back(name);
                matches = {name};
            }
            expanded.insert(expanded.end(), matches.begin(), matches.end());
        }
        rest = std::move(expanded);
    }
    const std::span<const std::string> given(rest);
    if (given.empty()) {
        request.nameSource = Request::NameSource::prompt;
        request.problem = optionsProblem(request.options, {});
        if (!request.problem.empty()) request.action = Request::Action::refuse;
        return request;
    }
    request.nameSource = Request::NameSource::arguments;
    std::string& problem = request.settingsProblem;
    // A file: an argument that names one, or reads as no number at all.
    const auto isName = [&](const std::string& argument) { return exists(argument) || !parseFloatSetting(argument.c_str()); };
    if (std::none_of(given.begin() + 1, given.end(), isName)) {
        request.names = {given.front()};
        const std::size_t settings = given.size() - 1;
        if (settings == kSettingCount) {
            request.choice = SettingTexts(given.subspan(1)).choose(problem);
        } else if (settings != 0) {
            problem = settings < kSettingCount
                          ? "only " + std::to_string(settings) + " of the 3 settings " +
                                (settings == 1 ? "was" : "were") + " given"
                          : "the file name is followed by " + std::to_string(settings) + " arguments, not 3";
        }
    } else {
        request.severalFiles = true;
        std::size_t files = given.size();
        if (files > kSettingCount + 1) {
            const SettingTexts last(given.last(kSettingCount));
            if (std::none_of(last.texts.begin(), last.texts.end(), exists) && last.allNumbers()) {
                files -= kSettingCount;
                request.choice = last.choose(problem);
            }
        }
        request.names.assign(given.begin(), given.begin() + static_cast<std::ptrdiff_t>(files));
    }
    if (!problem.empty()) {
        problem += "; the default settings are used";
    }
    request.severalFiles = request.severalFiles || request.options.recursive;
    request.problem = optionsProblem(request.options, request.names);
    if (!request.problem.empty()) request.action = Request::Action::refuse;
    return request;
}

std::string nameFromLine(std::string_view line) {
    constexpr std::string_view kBlanks = " \t\r\n\v\f";
    const std::size_t first = line.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    line = line.substr(first, line.find_last_not_of(kBlanks) - first + 1);
    if (line.size() >= 2 && (line.front() == '"' || line.front() == '\'') && line.back() == line.front()) {
        line = line.substr(1, line.size() - 2);
    }
    return std::string(line);
}

namespace {

// Whether a typed line holds bytes no name has: control characters other than a tab or
// a line end (audio piped in where a name was asked for).
bool holdsControlBytes(std::string_view line) {
    return std::any_of(line.begin(), line.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && c != '\t' && c != '\r' && c != '\n') || byte == 0x7F;
    });
}

// A name as a file manager drags it into a terminal: a file:// URI with %-escapes
// ("file:///music/My%20Song.wav"), or a path with backslash-escaped spaces
// ("/music/My\ Song.wav"); the name meant, or nothing for any other text.
std::optional<std::string> draggedName(std::string_view name) {
    constexpr std::string_view kScheme = "file://";
    std::string meant;
    if (name.starts_with(kScheme)) {
        name.remove_prefix(kScheme.size());
        const std::size_t path = name.find('/');  // after the host, usually none
        if (path == std::string_view::npos) return std::nullopt;
        name.remove_prefix(path);
        for (std::size_t i = 0; i < name.size(); ++i) {
            const auto hex = [&](std::size_t at) {
                const char c = at < name.size() ? name[at] : 'x';
                return c >= '0' && c <= '9' ? c - '0'
                       : c >= 'a' && c <= 'f' ? c - 'a' + 10
                       : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                              : -1;
            };
            if (name[i] == '%' && hex(i + 1) >= 0 && hex(i + 2) >= 0) {
                meant += static_cast<char>(hex(i + 1) * 16 + hex(i + 2));
                i += 2;
            } else {
                meant += name[i];
            }
        }
        return meant;
    }
    if (name.find('\\') == std::string_view::npos) return std::nullopt;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' && i + 1 < name.size()) ++i;
        meant += name[i];
    }
    return meant;
}

}  // namespace

std::optional<std::string> promptForName(const std::function<std::optional<std::string>()>& readLine,
                                         Console& console, const NameExists& exists) {
    for (;;) {
        console.out("\nWAV File to be processed : ");
        const std::optional<std::string> line = readLine();
        if (!line) {
            return std::nullopt;
        }
        if (holdsControlBytes(*line)) {
            console.error("twoband: standard input holds no name (control bytes in the line); - reads audio from "
                          "standard input: cat song.wav | twoband -\n");
            return std::nullopt;
        }
        std::string name = nameFromLine(*line);
#ifndef _WIN32
        if (exists && !exists(name)) {
            if (std::optional<std::string> meant = draggedName(name); meant && exists(*meant)) name = std::move(*meant);
        }
#endif
        if (characters(name) >= kMinPromptedNameLength) {
            return name;
        }
    }
}

std::optional<float> parseFloatSetting(const char* text) {
    char* end = nullptr;
    const float value = std::strtof(text, &end);
    if (end == text) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::int32_t> parseIntSetting(const char* text) {
    char* end = nullptr;
    // long long saturates on overflow; clamp that further to 32 bits.
    const long long value = std::strtoll(text, &end, 10);
    if (end == text) {
        return std::nullopt;
    }
    constexpr long long lowest = std::numeric_limits<std::int32_t>::min();
    constexpr long long highest = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(value < lowest ? lowest : value > highest ? highest : value);
}

void echoSettings(Console& console, const SettingsChoice& choice) {
    console.out(choice.userDefined ? "User defined settings:\n" : "Using default settings:\n");
    console.outf("Max Gain (4-100) = %f\n", static_cast<double>(choice.settings.maxGain));
    console.outf("Recover Speed (1-9) = %f\n", static_cast<double>(choice.settings.recoverSpeed));
    console.outf("Feedback Speed (1-4) = %d\n", choice.settings.feedbackSpeed);
    console.out("\n\n");
}

}  // namespace twoband

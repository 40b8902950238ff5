#include "command_line.hpp"

#include <cstdlib>
#include <limits>
#include <string_view>

namespace twoband {

namespace {

constexpr std::size_t kSettingArguments = 5;  // program, name and three settings

// Characters of UTF-8 text: the bytes that start one.
std::size_t characters(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

bool inRange(float value, float lowest, float highest) {
    return value >= lowest && value <= highest;  // false for a NaN
}

// The settings for a run with these arguments (argv[0] is the program).
SettingsChoice chooseSettings(const std::vector<std::string>& arguments) {
    if (arguments.size() != kSettingArguments) {
        return {};
    }
    const std::optional<float> maxGain = parseFloatSetting(arguments[2].c_str());
    const std::optional<float> recoverSpeed = parseFloatSetting(arguments[3].c_str());
    const std::optional<std::int32_t> feedbackSpeed = parseIntSetting(arguments[4].c_str());
    const bool valid = maxGain && inRange(*maxGain, kMaxGainLowest, kMaxGainHighest) &&
                       recoverSpeed &&
                       inRange(*recoverSpeed, kRecoverSpeedLowest, kRecoverSpeedHighest) &&
                       feedbackSpeed && *feedbackSpeed >= kFeedbackSpeedLowest &&
                       *feedbackSpeed <= kFeedbackSpeedHighest;
    if (!valid) {
        return {};
    }
    return {{*maxGain, *recoverSpeed, *feedbackSpeed}, true};
}

}  // namespace

const char* const kUsageText =
    "Usage: twoband [FILE [MAXGAIN RECOVERSPEED FEEDBACKSPEED]]\n"
    "       twoband --help | -h | /? | --version\n"
    "\n"
    "Compresses FILE, a 16-bit PCM WAV file, with a two-band compressor and writes\n"
    "the result beside it with a C in front of the file name\n"
    "(music/song.wav becomes music/Csong.wav). Only the samples of the data chunk\n"
    "are compressed; every other byte is kept. WAV files are read as RIFF, RF64, BW64\n"
    "or Wave64 (the last three at any size, others up to 4 GiB); FLAC, Ogg, MP3,\n"
    "AIFF and CAF files are refused. A stereo pair of channels is compressed as one;\n"
    "a mono file as its channel on both sides of a pair; more channels in pairs,\n"
    "1+2, 3+4 ..., an odd last one as mono. FILE is used whole, in any script and of\n"
    "any length. Without FILE, the name is asked for at a prompt: the whole line,\n"
    "without the blanks and one pair of quotes around it.\n"
    "\n"
    "Settings, used only when all three are given and valid (else all defaults):\n"
    "  MAXGAIN        highest gain a band recovers to, 4 to 100 (default 20)\n"
    "  RECOVERSPEED   how fast gains recover, 1 to 9 (default 8)\n"
    "  FEEDBACKSPEED  how hard peaks pull the high bands down, 1 to 4 (default 2)\n"
    "\n"
    "Example:\n"
    "  twoband song.wav 30 4 3\n"
    "\n"
    "Exit status: 0 when the output was written (the run ends with \"Done !\"), and for\n"
    "--help and --version; 1 when no output was written. When the system refuses a\n"
    "file, standard error says why, as \"twoband: NAME: REASON\".\n"
    "A file named --help can be given as ./--help.\n";

Request parseRequest(const std::vector<std::string>& arguments) {
    Request request;
    if (arguments.size() == 2) {
        const std::string_view option = arguments[1];
        if (option == "--help" || option == "-h" || option == "/?") {
            request.action = Request::Action::help;
            return request;
        }
        if (option == "--version") {
            request.action = Request::Action::version;
            return request;
        }
    }
    if (arguments.size() >= 2) {
        request.nameSource = Request::NameSource::argument;
        request.name = arguments[1];
    } else if (arguments.size() == 1) {
        request.nameSource = Request::NameSource::prompt;
    }
    request.choice = chooseSettings(arguments);
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

std::optional<std::string> promptForName(const std::function<std::optional<std::string>()>& readLine,
                                         Console& console) {
    for (;;) {
        console.out("\nWAV File to be processed : ");
        const std::optional<std::string> line = readLine();
        if (!line) {
            return std::nullopt;
        }
        std::string name = nameFromLine(*line);
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

#include "command_line.hpp"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

namespace twoband {

namespace {

// Reads one word of at most kMaxNameLength characters; the rest of a longer word
// stays unread for the next prompt.
constexpr const char* kPromptWordFormat = "%124s";
static_assert(kMaxNameLength == 124, "kPromptWordFormat carries the name limit");

constexpr int kSettingArguments = 5;  // program, name and three settings

bool inRange(float value, float lowest, float highest) {
    return value >= lowest && value <= highest;  // false for a NaN
}

// The settings for a run with these arguments (argv[0] is the program).
SettingsChoice chooseSettings(int argc, const char* const argv[]) {
    if (argc != kSettingArguments) {
        return {};
    }
    const std::optional<float> maxGain = parseFloatSetting(argv[2]);
    const std::optional<float> recoverSpeed = parseFloatSetting(argv[3]);
    const std::optional<std::int32_t> feedbackSpeed = parseIntSetting(argv[4]);
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
    "       twoband --help | --version\n"
    "\n"
    "Compresses FILE, a 16-bit PCM WAV file, with a two-band compressor and writes\n"
    "the result beside it with a C in front of the file name\n"
    "(music/song.wav becomes music/Csong.wav). Only the samples of the data chunk\n"
    "are compressed; every other byte is kept. WAV files are read as RIFF, RF64, BW64\n"
    "or Wave64 (the last three at any size, others up to 4 GiB); FLAC, Ogg, MP3,\n"
    "AIFF and CAF files are refused. A stereo pair of channels is compressed as one;\n"
    "a mono file as its channel on both sides of a pair; more channels in pairs,\n"
    "1+2, 3+4 ..., an odd last one as mono. Without FILE, the name is asked for at a\n"
    "prompt.\n"
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

Request parseRequest(int argc, const char* const argv[]) {
    Request request;
    if (argc == 2) {
        const std::string_view option = argv[1];
        if (option == "--help" || option == "-h") {
            request.action = Request::Action::help;
            return request;
        }
        if (option == "--version") {
            request.action = Request::Action::version;
            return request;
        }
    }
    if (argc >= 2) {
        request.nameSource = Request::NameSource::argument;
        request.name = argv[1];
    } else if (argc == 1) {
        request.nameSource = Request::NameSource::prompt;
    }
    request.choice = chooseSettings(argc, argv);
    return request;
}

void storeName(const char* name, PathBuffer& path) {
    path.fill('\0');
    std::strncpy(path.data(), name, kMaxNameLength);
}

bool promptForName(std::FILE* in, std::FILE* out, PathBuffer& path) {
    do {
        std::fputs("\nWAV File to be processed : ", out);
        std::fflush(out);
        if (std::fscanf(in, kPromptWordFormat, path.data()) != 1) {
            return false;
        }
    } while (std::strlen(path.data()) < kMinPromptedNameLength);
    return true;
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

void echoSettings(std::FILE* out, const SettingsChoice& choice) {
    std::fputs(choice.userDefined ? "User defined settings:\n" : "Using default settings:\n", out);
    std::fprintf(out, "Max Gain (4-100) = %f\n", static_cast<double>(choice.settings.maxGain));
    std::fprintf(out, "Recover Speed (1-9) = %f\n",
                 static_cast<double>(choice.settings.recoverSpeed));
    std::fprintf(out, "Feedback Speed (1-4) = %d\n", choice.settings.feedbackSpeed);
    std::fputs("\n\n", out);
}

}  // namespace twoband

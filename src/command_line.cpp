#include "command_line.hpp"

#include <cstdlib>
#include <cstring>
#include <limits>

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

}  // namespace

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

void echoSettings(std::FILE* out, const SettingsChoice& choice) {
    std::fputs(choice.userDefined ? "User defined settings:\n" : "Using default settings:\n", out);
    std::fprintf(out, "Max Gain (4-100) = %f\n", static_cast<double>(choice.settings.maxGain));
    std::fprintf(out, "Recover Speed (1-9) = %f\n",
                 static_cast<double>(choice.settings.recoverSpeed));
    std::fprintf(out, "Feedback Speed (1-4) = %d\n", choice.settings.feedbackSpeed);
    std::fputs("\n\n", out);
}

}  // namespace twoband

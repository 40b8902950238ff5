#include "delivery/delivery_settings.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace twoband {

namespace {

// A whole text read as a decimal number, in hundredths; nothing where it is not one.
std::optional<std::int32_t> hundredthsOf(const std::string& text) {
    if (text.empty() || std::strchr(" \t\n", text.front()) != nullptr) return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !(std::fabs(value) <= 1e6)) return std::nullopt;
    return static_cast<std::int32_t>(std::lround(value * 100.0));
}

const DeliveryTarget* targetNamed(const std::string& name) {
    for (const DeliveryTarget& target : kDeliveryTargets) {
        if (name == target.name) return &target;
    }
    return nullptr;
}

std::string levelProblem(const char* option, const std::optional<std::string>& text, std::int32_t lowest,
                         std::int32_t highest) {
    if (!text) return {};
    const std::optional<std::int32_t> value = hundredthsOf(*text);
    if (!value) return std::string(option) + " '" + *text + "' is not a number";
    if (*value < lowest || *value > highest) {
        return std::string(option) + " " + *text + " is outside " + std::to_string(lowest / 100) + " to " +
               std::to_string(highest / 100);
    }
    return {};
}

}  // namespace

std::string deliveryProblem(const std::optional<std::string>& loudness, const std::optional<std::string>& truePeak,
                            const std::optional<std::string>& target) {
    if (target && !targetNamed(*target)) {
        return "--target '" + *target + "' is none of podcast, r128, streaming";
    }
    if (target && loudness) return "--target and --loudness cannot be used together";
    std::string problem = levelProblem("--loudness", loudness, kLoudnessLowest, kLoudnessHighest);
    return problem.empty() ? levelProblem("--true-peak", truePeak, kCeilingLowest, kCeilingHighest) : problem;
}

DeliverySettings deliverySettings(const std::optional<std::string>& loudness,
                                  const std::optional<std::string>& truePeak,
                                  const std::optional<std::string>& target, bool measure) {
    DeliverySettings settings;
    settings.measure = measure;
    if (const DeliveryTarget* named = target ? targetNamed(*target) : nullptr) {
        settings.loudness = named->loudness;
        settings.ceiling = named->ceiling;
    }
    if (loudness) settings.loudness = hundredthsOf(*loudness);
    if (truePeak) settings.ceiling = hundredthsOf(*truePeak);
    if (settings.loudness && !settings.ceiling) settings.ceiling = kDefaultCeiling;
    return settings;
}

std::string tenthsText(std::optional<std::int32_t> hundredths, bool withSign) {
    if (!hundredths) return "-inf";
    // Rounded half away from zero, in integers: the same text everywhere.
    const std::int32_t magnitude = std::abs(*hundredths);
    const std::int32_t tenths = (magnitude + 5) / 10;
    const bool negative = *hundredths < 0 && tenths != 0;
    return std::string(negative ? "-" : withSign ? "+" : "") + std::to_string(tenths / 10) + "." +
           std::to_string(tenths % 10);
}

}  // namespace twoband

#pragma once

#include <cstdint>

namespace twoband {

// The three tuning values of a run. Shared by the console front end, which fills
// them, and the engine, which only reads them.
struct Settings {
    // Highest gain a band may recover to. Valid range 4.0 to 100.0.
    float maxGain = 20.0f;
    // Recovery speed; each recovery multiplies a gain by 1 + recoverSpeed / 500 (high
    // bands) or 1 + recoverSpeed / 800 (low bands). Valid range 1.0 to 9.0.
    float recoverSpeed = 8.0f;
    // How hard the high bands react to peaks: scales both of their attacks.
    // Valid range 1 to 4.
    std::int32_t feedbackSpeed = 2;
};

// Whether a setting's value lies in its range, bounds included; never for a NaN.
constexpr bool inRange(float value, float lowest, float highest) { return value >= lowest && value <= highest; }

constexpr float kMaxGainLowest = 4.0f;
constexpr float kMaxGainHighest = 100.0f;
constexpr float kRecoverSpeedLowest = 1.0f;
constexpr float kRecoverSpeedHighest = 9.0f;
constexpr std::int32_t kFeedbackSpeedLowest = 1;
constexpr std::int32_t kFeedbackSpeedHighest = 4;

}  // namespace twoband

#pragma once

// Band gain control. Each band gain chases the target at which its band's metered
// peak would sit at a reference level (35 level units for the high bands, 52.5 for
// the low). Above the target the gain is pulled down every frame: fast while it is
// more than 1/0.7 times the target, slowly nearer. At or below the target it climbs
// by the recovery factor on the frames where its pair's meters decay, until it
// reaches maxGain.
//
// Every step is binary32 or binary64 arithmetic in the order written; the results
// are exact to the bit.

#include <cstdint>

#include "settings.hpp"

namespace twoband {

struct EngineState;

// Targets never go below this.
constexpr float kMinTarget = 0.2f;
// A gain above its target by more than target/0.7 is attacked fast.
constexpr double kFastAttackRatio = 0.7;
// A fast attack sets the band's own meter here, which ends it on the next frame.
constexpr std::int8_t kMeterAfterFastAttack = 35;

// The fixed character of one kind of band.
struct BandCharacter {
    float reference;        // peak level the target aims at, in level units
    double fastRate;        // fraction of the excess removed per fast-attack frame
    double slowRate;        // fraction of the excess removed per slow-attack frame
    float recoveryDivisor;  // recovery factor is 1 + recoverSpeed / recoveryDivisor
    bool feedbackScaled;    // whether feedbackSpeed multiplies the attacks
};

constexpr BandCharacter kHighBand{35.0f, 0.025, 0.001, 500.0f, true};
constexpr BandCharacter kLowBand{52.5f, 0.05, 0.001, 800.0f, false};

// One kind of band with the run's settings applied, derived once per pass.
struct BandRule {
    float reference;
    double fastRate;
    double slowRate;
    double attackMultiplier;  // feedbackSpeed for the high bands, 1 for the low
    float recoveryFactor;     // recoverSpeed / recoveryDivisor + 1
    float maxGain;
};

struct GainRules {
    BandRule high;
    BandRule low;
};

BandRule makeBandRule(const BandCharacter& band, const Settings& settings);
GainRules makeGainRules(const Settings& settings);

// One band's gain step, given its meter `peak` and its pair's hold counter `hold`.
// May set `peak` to kMeterAfterFastAttack.
void updateBandGain(float& gain, std::int8_t& peak, std::uint8_t hold, const BandRule& rule);

// Steps the four band gains, high-left, high-right, low-left, low-right.
void updateBandGains(EngineState& state, const GainRules& rules);

}  // namespace twoband

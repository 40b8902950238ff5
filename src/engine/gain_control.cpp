#include "engine/gain_control.hpp"

#include "engine/engine_state.hpp"

namespace twoband {

BandRule makeBandRule(const BandCharacter& band, const Settings& settings) {
    // Multiplying by 1.0 in binary64 is exact, so the low bands' attack equals the
    // product without a multiplier.
    const double multiplier =
        band.feedbackScaled ? static_cast<double>(static_cast<float>(settings.feedbackSpeed)) : 1.0;
    return {band.reference,
            band.fastRate,
            band.slowRate,
            multiplier,
            settings.recoverSpeed / band.recoveryDivisor + 1.0f,
            settings.maxGain};
}

GainRules makeGainRules(const Settings& settings) {
    return {makeBandRule(kHighBand, settings), makeBandRule(kLowBand, settings)};
}

void updateBandGain(float& gain, std::int8_t& peak, std::uint8_t hold, const BandRule& rule) {
    const float g = gain;

    // Target: the gain that would put the metered peak at the reference level.
    float target = rule.maxGain;
    if (peak != 0) {
        target = (g * rule.reference) / static_cast<float>(peak);
        if (target < kMinTarget) {
            target = kMinTarget;
        }
    }

    if (g > target) {
        // Attack: remove a fraction of the excess.
        const auto excess = static_cast<double>(g - target);
        const auto wide = static_cast<double>(g);
        if (wide * kFastAttackRatio > static_cast<double>(target)) {
            gain = static_cast<float>(wide - (excess * rule.fastRate) * rule.attackMultiplier);
            peak = kMeterAfterFastAttack;
        } else {
            gain = static_cast<float>(wide - (excess * rule.slowRate) * rule.attackMultiplier);
        }
    } else if (hold == 0 && g < rule.maxGain) {
        // Recovery, only on the frames where the pair's meters decay; may overshoot
        // maxGain by one step.
        gain = g * rule.recoveryFactor;
    }
}

void updateBandGains(EngineState& state, const GainRules& rules) {
    updateBandGain(state.gainHL, state.peakHL, state.holdHigh, rules.high);
    updateBandGain(state.gainHR, state.peakHR, state.holdHigh, rules.high);
    updateBandGain(state.gainLL, state.peakLL, state.holdLow, rules.low);
    updateBandGain(state.gainLR, state.peakLR, state.holdLow, rules.low);
}

}  // namespace twoband

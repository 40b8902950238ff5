#include "engine/limiter.hpp"

namespace twoband {

float recoveredMasterGain(float masterGain) {
    return static_cast<float>(static_cast<double>(masterGain) * kMasterRecoveryFactor);
}

void recoverMasterGain(EngineState& state) {
    ++state.frameCount8;  // wraps at 256, a multiple of 8
    if (state.frameCount8 % kMasterRecoveryFrames == 0 && state.masterGain < 1.0f) {
        state.masterGain = recoveredMasterGain(state.masterGain);
    }
}

std::int16_t limitChannel(float& masterGain, std::int32_t high, std::int32_t low) {
    // Integer division truncates toward zero, as the overload test requires.
    const std::int32_t sixteenths = wrap16(high) / 16 + wrap16(low) / 16;
    // The master gain follows the overload's size, down to its floor.
    if (sixteenths > kOverloadAbove) {
        masterGain = std::max(
            1.0f - static_cast<float>(sixteenths - kOverloadAbove) * kOverloadSlope, kMinMasterGain);
    } else if (sixteenths < kOverloadBelow) {
        masterGain = std::max(
            static_cast<float>(sixteenths - kOverloadBelow) * kOverloadSlope + 1.0f, kMinMasterGain);
    }
    // Without a wrap, an overload takes two products of its sign whose sixteenths add up
    // past 2047, so their sum lies beyond the 16-bit range and saturates to the clip
    // value; a sum inside the range is the plain sum. Where a product or the sum would
    // wrap, the true sum saturates instead of turning into a click.
    return saturate16(high + low);
}

StereoFrame limitOutput(EngineState& state, const BandProducts& bands) {
    recoverMasterGain(state);
    const std::int16_t left = limitChannel(state.masterGain, bands.bandHL, bands.bandLL);
    const std::int16_t right = limitChannel(state.masterGain, bands.bandHR, bands.bandLR);
    return {left, right};
}

}  // namespace twoband

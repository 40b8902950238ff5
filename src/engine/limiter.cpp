#include "engine/limiter.hpp"

namespace twoband {

void recoverMasterGain(EngineState& state) {
    ++state.frameCount8;  // wraps at 256, a multiple of 8
    if (state.frameCount8 % kMasterRecoveryFrames == 0 && state.masterGain < 1.0f) {
        state.masterGain =
            static_cast<float>(static_cast<double>(state.masterGain) * kMasterRecoveryFactor);
    }
}

std::int16_t limitChannel(float& masterGain, std::int16_t high, std::int16_t low) {
    // Integer division truncates toward zero, as the overload test requires.
    const std::int32_t sixteenths = high / 16 + low / 16;
    if (sixteenths > kOverloadAbove) {
        masterGain = 1.0f - static_cast<float>(sixteenths - kOverloadAbove) * kOverloadSlope;
    } else if (sixteenths < kOverloadBelow) {
        masterGain = static_cast<float>(sixteenths - kOverloadBelow) * kOverloadSlope + 1.0f;
    } else {
        return wrap16(high + low);
    }
    if (masterGain < kMinMasterGain) {
        masterGain = kMinMasterGain;
    }
    return sixteenths > 0 ? std::int16_t{32767} : std::int16_t{-32768};
}

StereoFrame limitOutput(EngineState& state, const BandProducts& bands) {
    recoverMasterGain(state);
    const std::int16_t left = limitChannel(state.masterGain, bands.bandHL, bands.bandLL);
    const std::int16_t right = limitChannel(state.masterGain, bands.bandHR, bands.bandLR);
    return {left, right};
}

}  // namespace twoband

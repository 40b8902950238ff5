#pragma once

// Master gain and output limiter. Each channel's output is the sum of its two band
// products. An overload is detected on sixteenths of the products; it clips the
// sample and sets the master gain, which scales only the high bands, below 1 in
// proportion to the overload's size. Between overloads the master gain climbs back
// by 5 % every eighth frame of the pass.

#include <algorithm>
#include <cstdint>
#include <limits>

#include "engine/engine_state.hpp"

namespace twoband {

// Sums of sixteenths above kOverloadAbove or below kOverloadBelow overload.
constexpr std::int32_t kOverloadAbove = 2047;
constexpr std::int32_t kOverloadBelow = -2048;
// Master gain lost per step of overload, and the lowest it can go.
constexpr float kOverloadSlope = 0.00146f;
constexpr float kMinMasterGain = 0.1f;
// The master gain recovers by this factor on every kMasterRecoveryFrames-th frame.
constexpr double kMasterRecoveryFactor = 1.05;
constexpr std::uint8_t kMasterRecoveryFrames = 8;

// Clamps a sum of band products to the 16-bit range.
constexpr std::int16_t saturate16(std::int32_t value) {
    return static_cast<std::int16_t>(
        std::clamp<std::int32_t>(value, std::numeric_limits<std::int16_t>::min(),
                                 std::numeric_limits<std::int16_t>::max()));
}

// One recovery step of a master gain below 1. It may carry the gain a little above 1,
// where it stays until the next overload.
float recoveredMasterGain(float masterGain);

// Counts the frame and lets a master gain below 1 recover on every eighth one.
void recoverMasterGain(EngineState& state);

// One channel's output from its high and low band products (as truncated, before the
// 16-bit store). The overload test sees the products as stored in 16 bits; on an
// overload `masterGain` is set from the overload's size alone. The output sample is
// the true sum saturated to 16 bits: the clip value on every overload, and never a
// wrapped value.
std::int16_t limitChannel(float& masterGain, std::int32_t high, std::int32_t low);

// Master recovery, then the left and the right channel; an overload on the right
// replaces the master gain the left set on the same frame.
StereoFrame limitOutput(EngineState& state, const BandProducts& bands);

}  // namespace twoband

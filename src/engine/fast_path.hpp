#pragma once

// A faster frame kernel for x86-64 CPUs with AVX2, bit-exact with processFrames.
//
// The engine's cost is one chain per frame through the band gains: each gain feeds
// the next frame's target. The fast kernel keeps that chain short:
// - all state lives in registers; the four gains form one vector, and the binary64
//   tail of a gain step runs four lanes wide;
// - meters, hold expiry, overloads and fast attacks are tested with one compare each
//   and handled by exact cold code, so their data never sits on the chain;
// - while every band's meter is in a range where the gain step provably does
//   nothing, or can only be a slow attack, the step is predicted by one multiply and
//   the prediction is verified by a rounding test (see predictSlowAttack); the exact
//   step runs whenever a lane is outside those ranges or the test is inconclusive.

#include <cstdint>
#include <optional>

#include "engine/engine_state.hpp"

namespace twoband {

// The integer form of the low-pass step: truncate(binary32(x) × 0.013) for every
// difference x from −65535 to 65535.
constexpr std::int32_t lowPassStep(std::int32_t difference) {
    constexpr std::int32_t kScale = 27263;  // 0.013 × 2^21, rounded so truncation agrees
    constexpr std::int32_t kRoundTowardZero = (1 << 21) - 1;
    return (difference * kScale + (difference < 0 ? kRoundTowardZero : 0)) >> 21;
}

// Up to these meters every target is at or above its gain (within rounding), so no
// gain step changes anything but recovery.
constexpr std::int32_t kHighIdlePeakHighest = 35;
constexpr std::int32_t kLowIdlePeakHighest = 52;

// Meter ranges in which a slow attack is the only possible gain step (every target is
// between 0.7 and 1 times the gain, away from both ends).
constexpr std::int32_t kHighSlowPeakLowest = 36;
constexpr std::int32_t kHighSlowPeakHighest = 49;
constexpr std::int32_t kLowSlowPeakLowest = 53;
constexpr std::int32_t kLowSlowPeakHighest = 74;
// Below this gain the 0.2 target floor could take part in a slow attack.
constexpr float kPredictedGainLowest = 0.3f;

// The slow-attack factor of a band with reference `reference` and meter `peak`, for an
// attack rate c = slowRate × multiplier: 1 − c·(1 − reference/peak), in binary64.
double slowAttackFactor(double c, float reference, std::int32_t peak);

// How far, in units of the last place of a binary64, a predicted step may be from the
// exact one before rounding to binary32, for attack rate c.
std::int64_t predictionBound(double c);

// The predicted slow-attack step of `gain` with `factor`, or nothing when the
// prediction cannot be proven to round like the exact step.
std::optional<float> predictSlowAttack(float gain, double factor, std::int64_t bound);

// True where this CPU can run the fast kernel.
bool fastPathSupported();

// The fast kernel; call only where fastPathSupported().
void processFramesFast(EngineState& state, const GainRules& rules,
                       std::span<std::uint8_t> frames);

}  // namespace twoband

#pragma once

// A faster frame kernel for x86-64 CPUs with AVX2, bit-exact with processFrames and
// sharing its interface (FrameKernel). It owns only the common frame; every rare
// frame is handled exactly, with the literal stage functions where that is as fast.
//
// Its frame loop reads as processFrame's stages (split, band products, meters, gains,
// limiter, encode), each on all four bands at once. What makes the common frame cheap:
// - the frame carries only two chains in registers: the integer low-pass of both
//   channels (one 32×32→64 multiply), and the four gains, held as binary64 so that a
//   step is one multiply and a rounding to binary32 done on the bits;
// - one window test per band shows that no meter rises and no channel overloads;
// - hold expiry and master-gain recovery are events scheduled by frame number, one
//   compare per frame instead of three counters;
// - a band whose meter is in its idle range keeps its gain, and in its slow-attack
//   range steps by one binary64 multiply, accepted only where a rounding test proves it
//   equal to the exact step (see predictSlowAttack); what each meter reading allows is
//   looked up in a table built once per set of settings (KernelRules).
// A rare frame (a meter moves, a pair's hold runs out, the master gain steps, a band
// could overload, or a prediction cannot be proven) runs the stages exactly: a decaying
// band below its target recovers by one binary32 multiply, anything unproven takes the
// literal gain step four lanes wide, and a loud frame the literal limiter.

#include <cstdint>
#include <optional>

#include "engine/engine_state.hpp"
#include "engine/gain_control.hpp"
#include "engine/kernel_rules.hpp"

namespace twoband {

// The integer form of the low-pass step: truncate(binary32(x) × 0.013) for every
// difference x from −65535 to 65535.
constexpr std::int32_t lowPassStep(std::int32_t difference) {
    constexpr std::int32_t kScale = 27263;  // 0.013 × 2^21, rounded so truncation agrees
    constexpr std::int32_t kRoundTowardZero = (1 << 21) - 1;
    return (difference * kScale + (difference < 0 ? kRoundTowardZero : 0)) >> 21;
}

// Meter ranges of a band with reference K, in which its gain step is known.
//
// The target g·K/P carries the error of two binary32 roundings, under 2^-23 of its
// value; every bound below keeps a margin of 2^-20 from the ratio it guards.
// - Idle, 1 ≤ P ≤ K: the target is at or above the gain, up to the roundings. No
//   step but a recovery changes the gain: a slow attack of a gain at most 2 ulp
//   above its target moves it by under 1 % of an ulp, which rounds away.
// - Slow, K < P < K/0.7: the target lies between 0.7 and 1 times the gain, so the
//   only step is a slow attack. P = K/0.7 (50 for the high bands, 75 for the low)
//   could go either way and is left to the exact step.
constexpr double kTargetMargin = 0x1p-20;

constexpr std::int32_t highestIdlePeak(const BandCharacter& band) {
    std::int32_t peak = 1;
    while (static_cast<double>(peak + 1) <= static_cast<double>(band.reference)) ++peak;
    return peak;
}

constexpr std::int32_t lowestSlowPeak(const BandCharacter& band) {
    std::int32_t peak = 1;
    while (static_cast<double>(peak) <= static_cast<double>(band.reference) * (1.0 + kTargetMargin)) {
        ++peak;
    }
    return peak;
}

constexpr std::int32_t highestSlowPeak(const BandCharacter& band) {
    std::int32_t peak = lowestSlowPeak(band);
    while (static_cast<double>(peak + 1) * kFastAttackRatio * (1.0 + kTargetMargin) <
           static_cast<double>(band.reference)) {
        ++peak;
    }
    return peak;
}

static_assert(highestIdlePeak(kHighBand) == 35 && lowestSlowPeak(kHighBand) == 36 &&
              highestSlowPeak(kHighBand) == 49);
static_assert(highestIdlePeak(kLowBand) == 52 && lowestSlowPeak(kLowBand) == 53 &&
              highestSlowPeak(kLowBand) == 74);

// The lowest gain whose slow-attack target g·K/P stays above the 0.2 target floor:
// P·(0.2·(1 + 2^-20)/K), rounded up to binary32. From this gain on the target is at
// least 0.2·(1 + 2^-20)·(1 − 2^-22), above 0.2, so the floor plays no part in the step.
double gainFloorPerPeak(float reference);
float slowAttackGainFloor(float reference, std::int32_t peak);

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
void processFramesFast(EngineState& state, const KernelRules& rules,
                       std::span<std::uint8_t> frames);

// The fastest kernel this CPU can run; processFrames elsewhere.
FrameKernel bestFrameKernel();

}  // namespace twoband

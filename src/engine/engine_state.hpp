#pragma once

// The compressor engine: the state it carries and one stereo frame through its stages.
//
// Signal flow of one frame (the right channel is the same with its own state):
//
//   inL ─► low-pass ─► lowL ─────────── × gainLL ─────────────► bandLL ─┐
//     └──────────────► highL = inL − lowL ─ × (masterGain × gainHL) ─► bandHL ─┤
//                                                                          ▼
//                                            limiter (bandHL + bandLL) ─► outL
//   bandHL, bandHR, bandLL, bandLR ─► peak meters ─► band gains (next frame)
//
// The band gains and the master gain used on a frame are the values the previous
// frame left behind.

#include <cfloat>
#include <cstdint>
#include <limits>
#include <span>

#include "engine/gain_control.hpp"
#include "engine/kernel_rules.hpp"
#include "settings.hpp"

namespace twoband {

// Bit-exact results rely on plain IEEE binary32/binary64 arithmetic with no excess
// precision kept between operations.
static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559);
static_assert(FLT_EVAL_METHOD == 0, "float arithmetic must be evaluated in its own type");

// Bytes 0 to 43 are the file header and are never touched; frames start here.
constexpr std::size_t kHeaderBytes = 44;
// One frame: left then right sample, each signed 16-bit little-endian.
constexpr std::size_t kFrameBytes = 4;

constexpr float kInitialMasterGain = 1.0f;
constexpr float kInitialHighGain = 0.4f;
constexpr float kInitialLowGain = 0.6f;
// Low-pass coefficient: the low band moves this fraction of the way to the input.
constexpr float kLowPassCoefficient = 0.013f;

// Everything the engine carries from one frame to the next during a pass.
struct EngineState {
    float masterGain = kInitialMasterGain;  // extra gain on both high bands
    float gainHL = kInitialHighGain;
    float gainHR = kInitialHighGain;
    float gainLL = kInitialLowGain;
    float gainLR = kInitialLowGain;
    std::int16_t lowL = 0;  // low-pass state, also the low-band signal
    std::int16_t lowR = 0;
    std::int8_t peakHL = 0;  // 8-bit peak meters of the four bands
    std::int8_t peakHR = 0;
    std::int8_t peakLL = 0;
    std::int8_t peakLR = 0;
    std::uint8_t holdHigh = 0;  // hold counter shared by peakHL and peakHR
    std::uint8_t holdLow = 0;   // hold counter shared by peakLL and peakLR
    std::uint8_t frameCount8 = 0;  // frames of the pass, modulo 256
    std::uint8_t dotCount = 0;     // progress dots on the current console line
};

// Keeps the low 16 bits, two's-complement: the wrap-around every sample value gets.
constexpr std::int16_t wrap16(std::int32_t value) { return static_cast<std::int16_t>(value); }

// Rounds toward zero. Every value the engine truncates is far inside the int32 range:
// at most 32768 times a gain product that stays below about 110.
constexpr std::int32_t truncate(float value) { return static_cast<std::int32_t>(value); }

struct StereoFrame {
    std::int16_t left;
    std::int16_t right;
};

// The four band signals of a frame after their gains, truncated but not yet stored in
// 16 bits. The engine's band values are these wrapped to 16 bits (wrap16): that is
// what the meters, the gains and the overload test see. Only the output sample looks
// past the wrap, so that it never turns into a click.
struct BandProducts {
    std::int32_t bandHL;
    std::int32_t bandHR;
    std::int32_t bandLL;
    std::int32_t bandLR;
};

// Advances a channel's low-pass state `low` by one input sample and returns the high
// band, input minus the new low band (both wrap at 16 bits).
std::int16_t splitBands(std::int16_t& low, std::int16_t in);

// Applies the current gains to the four band signals; each product is far inside the
// int32 range.
BandProducts bandProducts(const EngineState& state, std::int16_t highL, std::int16_t highR);

// Runs one frame through every stage, updating `state`, and returns the output frame.
StereoFrame processFrame(EngineState& state, const GainRules& rules, StereoFrame in);

// Runs whole frames (a multiple of kFrameBytes) through the engine, continuing from
// `state`, by rules prepared beforehand. Every kernel gives the same bytes and leaves
// the same state, however a stream is split into calls.
using FrameKernel = void (*)(EngineState& state, const KernelRules& rules,
                             std::span<std::uint8_t> frames);

// The stages as written, frame by frame: the reference for every other kernel.
void processFrames(EngineState& state, const KernelRules& rules, std::span<std::uint8_t> frames);

}  // namespace twoband

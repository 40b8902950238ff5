#pragma once

// Float samples as the library takes and gives them: a float x stands for the 16-bit
// sample x × 32768, and a 16-bit sample y goes back as y / 32768.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "engine/engine_state.hpp"
#include "engine/quantiser.hpp"

namespace twoband_library {

static_assert(std::endian::native == std::endian::little,
              "the engine's frames are little-endian, as the machine's samples must be");

constexpr float kFloatScale = 32768.0f;
constexpr std::int32_t kSignBit = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kFullScaleBits = 0x47000000;  // the bits of 32768.0f
constexpr std::int32_t kInfinityBits = 0x7f800000;
static_assert(std::bit_cast<float>(kFullScaleBits) == kFloatScale);
static_assert(std::bit_cast<float>(kInfinityBits) == std::numeric_limits<float>::infinity());

// x × 32768 rounded to the nearest whole number (a tie to the even one), saturated to
// −32768..32767; NaN as 0. A float that came from a 16-bit sample gives that sample.
//
// The range is kept on the bits, not by comparisons, which the compiler would turn
// into control flow around the conversion: so a loop of these is vectorised.
inline std::int16_t sampleFromFloat(float x) {
    const auto bits = std::bit_cast<std::int32_t>(x * kFloatScale);  // exact, or beyond the range
    const std::int32_t sign = bits & kSignBit;
    const std::int32_t size = bits & ~kSignBit;
    const std::int32_t number = -static_cast<std::int32_t>(size <= kInfinityBits);  // all ones but for a NaN
    // At most 32768 in size, 0 for a NaN.
    const float inside = std::bit_cast<float>((sign | std::min(size, kFullScaleBits)) & number);
    // Rounded to a whole number, ties to even: from 2^23 to 2^24 floats are whole
    // numbers, and the sum rounds as binary32 arithmetic does (the rounding a program
    // starts with); the difference is exact.
    constexpr float kRounder = 0x1.8p23f;
    const float nearest = (inside + kRounder) - kRounder;
    return static_cast<std::int16_t>(std::min(static_cast<std::int32_t>(nearest), std::int32_t{32767}));
}

inline float floatFromSample(std::int16_t sample) {
    return static_cast<float>(sample) * (1.0f / kFloatScale);  // exact
}

// Planar float channels as a ChannelEngine layout: in[c] and out[c] are channel c's
// samples, out[c] possibly in[c] itself; with `quantisers`, channel c's samples pass
// quantisers[c] (the dithered way) instead of sampleFromFloat.
struct PlanarFloats {
    static std::int16_t sampleAt(const std::uint8_t* stereo, std::size_t frame, std::size_t side) {
        std::int16_t sample;
        std::memcpy(&sample, stereo + frame * twoband::kFrameBytes + side * sizeof sample, sizeof sample);
        return sample;
    }

    const float* const* in;
    float* const* out;
    twoband::Quantiser* quantisers = nullptr;

    void gather(std::size_t pair, bool mono, std::size_t first, std::size_t count, std::uint8_t* stereo) const {
        const float* const left = in[2 * pair] + first;
        const float* const right = mono ? left : in[2 * pair + 1] + first;
        if (quantisers != nullptr) {
            twoband::Quantiser& leftRule = quantisers[2 * pair];
            twoband::Quantiser& rightRule = quantisers[mono ? 2 * pair : 2 * pair + 1];
            for (std::size_t i = 0; i < count; ++i) {
                const std::int16_t leftSample = leftRule.fromFloat(left[i]);
                const std::int16_t rightSample = mono ? leftSample : rightRule.fromFloat(right[i]);
                std::memcpy(stereo + i * twoband::kFrameBytes, &leftSample, sizeof leftSample);
                std::memcpy(stereo + i * twoband::kFrameBytes + sizeof leftSample, &rightSample, sizeof rightSample);
            }
            return;
        }
        for (std::size_t i = 0; i < count; ++i) {
            const std::int16_t leftSample = sampleFromFloat(left[i]);
            const std::int16_t rightSample = sampleFromFloat(right[i]);
            std::memcpy(stereo + i * twoband::kFrameBytes, &leftSample, sizeof leftSample);
            std::memcpy(stereo + i * twoband::kFrameBytes + sizeof leftSample, &rightSample, sizeof rightSample);
        }
    }

    void scatter(std::size_t pair, bool mono, std::size_t first, std::size_t count,
                 const std::uint8_t* stereo) const {
        float* const left = out[2 * pair] + first;
        for (std::size_t i = 0; i < count; ++i) {
            left[i] = floatFromSample(sampleAt(stereo, i, 0));
        }
        if (mono) return;  // the left output only
        float* const right = out[2 * pair + 1] + first;
        for (std::size_t i = 0; i < count; ++i) {
            right[i] = floatFromSample(sampleAt(stereo, i, 1));
        }
    }
};

}  // namespace twoband_library

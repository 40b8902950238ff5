#pragma once

// Float samples as the library takes and gives them: a float x stands for the 16-bit
// sample x × 32768, and a 16-bit sample y goes back as y / 32768. Every step is exact
// and reads no rounding mode, so the results are the same under any floating-point
// environment a host has set.

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/engine_state.hpp"

namespace twoband_library {

static_assert(std::endian::native == std::endian::little,
              "the engine's frames are little-endian, as the machine's samples must be");

constexpr float kFloatScale = 32768.0f;

// x × 32768 rounded to the nearest whole number (a tie to the even one), saturated to
// −32768..32767; NaN as 0. A float that came from a 16-bit sample gives that sample.
inline std::int16_t sampleFromFloat(float x) {
    float scaled = x * kFloatScale;  // exact, or ±infinity far beyond the range
    scaled = scaled == scaled ? scaled : 0.0f;
    scaled = scaled < -32768.0f ? -32768.0f : scaled;
    scaled = scaled > 32767.0f ? 32767.0f : scaled;
    const auto whole = static_cast<std::int32_t>(scaled);      // toward zero
    const float rest = scaled - static_cast<float>(whole);     // exact, −1 < rest < 1
    const float size = std::fabs(rest);
    const std::int32_t away = size > 0.5f || (size == 0.5f && (whole & 1) != 0) ? 1 : 0;
    return static_cast<std::int16_t>(whole + (rest < 0.0f ? -away : away));
}

inline float floatFromSample(std::int16_t sample) {
    return static_cast<float>(sample) * (1.0f / kFloatScale);  // exact
}

// Planar float channels as a ChannelEngine layout: in[c] and out[c] are channel c's
// samples, out[c] possibly in[c] itself.
struct PlanarFloats {
    static std::int16_t sampleAt(const std::uint8_t* stereo, std::size_t frame, std::size_t side) {
        std::int16_t sample;
        std::memcpy(&sample, stereo + frame * twoband::kFrameBytes + side * sizeof sample, sizeof sample);
        return sample;
    }

    const float* const* in;
    float* const* out;

    void gather(std::size_t pair, bool mono, std::size_t first, std::size_t count, std::uint8_t* stereo) const {
        const float* const left = in[2 * pair] + first;
        const float* const right = mono ? left : in[2 * pair + 1] + first;
        for (std::size_t i = 0; i < count; ++i) {
            const std::int16_t frame[2] = {sampleFromFloat(left[i]), sampleFromFloat(right[i])};
            std::memcpy(stereo + i * twoband::kFrameBytes, frame, sizeof frame);
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

#pragma once

// Helpers shared by the fuzz targets.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <span>
#include <string_view>

#include "engine/engine_pass.hpp"
#include "engine/fast_path.hpp"
#include "settings.hpp"

namespace fuzzing {

// Stops the run with a message when an invariant is broken.
inline void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

constexpr std::size_t kSettingsBytes = 9;

inline float settingFromBits(const std::uint8_t* bytes, float lowest, float highest) {
    std::uint32_t bits;
    std::memcpy(&bits, bytes, sizeof bits);
    // The two top values hit the bounds exactly; the rest spread over the range.
    if (bits == 0xFFFFFFFFu) return highest;
    if (bits == 0xFFFFFFFEu) return lowest;
    const float spread = lowest + (highest - lowest) * static_cast<float>(bits >> 8) / 16777215.0f;
    return std::clamp(spread, lowest, highest);
}

// Settings inside their ranges from the first kSettingsBytes bytes of an input.
inline twoband::Settings settingsFromBytes(const std::uint8_t* bytes) {
    return {settingFromBits(bytes, twoband::kMaxGainLowest, twoband::kMaxGainHighest),
            settingFromBits(bytes + 4, twoband::kRecoverSpeedLowest, twoband::kRecoverSpeedHighest),
            twoband::kFeedbackSpeedLowest + bytes[8] % 4};
}

// Progress output, thrown away.
struct NoProgress final : twoband::ProgressOutput {
    void progress(std::string_view) override {}
};

// A channel count from 1 to 6 from the settings bytes.
inline std::uint16_t channelsFromBytes(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(1 + (bytes[8] >> 2) % 6);
}

// Compresses a whole buffer, as a file of `channels` channels with its samples after
// the header, in one block of a fresh engine pass.
inline void compressWhole(std::span<std::uint8_t> bytes, const twoband::Settings& settings,
                          twoband::FrameKernel kernel = twoband::bestFrameKernel(),
                          std::uint16_t channels = twoband::kStereoChannels) {
    NoProgress progress;
    twoband::EnginePass pass(settings, twoband::canonicalSamples(bytes.size()), channels, progress,
                             kernel);
    pass.process(bytes, 0);
    pass.finish();
}

}  // namespace fuzzing

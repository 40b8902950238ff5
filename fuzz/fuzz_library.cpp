// Fuzzes the C library against the engine's literal kernel: arbitrary settings (any
// bits, NaN and infinities among them) at the start and part-way, 1 to 6 channels,
// 16-bit or float samples, in calls of sizes the input gives. Input: 8 + 4 bytes of
// first settings, 8 + 4 of the later ones, a byte of channels and form, 2 bytes of the
// frame the settings change before, a byte counting the call sizes, the sizes (a byte
// each), then the samples.
// Checks: a handle is made exactly when the settings are in their ranges, a change is
// taken exactly then, and the samples are those of the literal kernel in one call
// before and one after the change.

#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/channel_engine.hpp"
#include "fuzz_support.hpp"
#include "library_run.h"

namespace {

constexpr std::size_t kSettingsSize = 12;
constexpr std::size_t kFixedSize = 2 * kSettingsSize + 4;

fuzz_settings settingsAt(const std::uint8_t* bytes) {
    fuzz_settings settings;
    std::memcpy(&settings.max_gain, bytes, 4);
    std::memcpy(&settings.recover_speed, bytes + 4, 4);
    std::memcpy(&settings.feedback_speed, bytes + 8, 4);
    // Mostly small feedback speeds, so that runs get past the check.
    if ((bytes[11] & 0x80) == 0) settings.feedback_speed = bytes[8] % 6;
    return settings;
}

bool valid(const fuzz_settings& s) {
    return s.max_gain >= 4.0f && s.max_gain <= 100.0f && s.recover_speed >= 1.0f && s.recover_speed <= 9.0f &&
           s.feedback_speed >= 1 && s.feedback_speed <= 4;
}

twoband::Settings engineSettings(const fuzz_settings& s) { return {s.max_gain, s.recover_speed, s.feedback_speed}; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using fuzzing::require;
    if (size < kFixedSize) return 0;
    const fuzz_settings first = settingsAt(data);
    const fuzz_settings then = settingsAt(data + kSettingsSize);
    const unsigned channels = 1 + data[2 * kSettingsSize] % 6;
    const bool floats = (data[2 * kSettingsSize] & 0x80) != 0;
    const std::size_t changeAt = data[2 * kSettingsSize + 1] | data[2 * kSettingsSize + 2] << 8;
    const std::size_t planSize = std::min<std::size_t>(data[2 * kSettingsSize + 3], size - kFixedSize);
    const std::uint8_t* const plan = data + kFixedSize;
    const std::uint8_t* const bytes = plan + planSize;
    const std::size_t frames = (data + size - bytes) / (2 * channels);

    std::vector<std::int16_t> samples(frames * channels);
    if (!samples.empty()) std::memcpy(samples.data(), bytes, samples.size() * sizeof samples[0]);
    std::vector<std::int16_t> library = samples;
    const fuzz_outcome outcome =
        library_run(first, then, changeAt, channels, library.data(), frames, plan, planSize, floats ? 1 : 0);
    require((outcome.made == 0) == valid(first), "a handle exactly for settings in range");
    if (outcome.made != 0) return 0;
    require((outcome.changed == 0) == valid(then), "a change exactly to settings in range");
    require(outcome.processed == 0, "every call succeeds");

    twoband::ChannelEngine engine(engineSettings(first), static_cast<std::uint16_t>(channels), twoband::processFrames,
                                  512);
    std::vector<std::uint8_t> reference(samples.size() * 2);
    if (samples.empty()) return 0;
    std::memcpy(reference.data(), samples.data(), reference.size());  // little-endian, as the engine's frames
    const std::size_t split = std::min(changeAt, frames) * engine.frameBytes();
    engine.process(std::span<std::uint8_t>(reference).first(split));
    if (valid(then)) engine.setSettings(engineSettings(then));
    engine.process(std::span<std::uint8_t>(reference).subspan(split));
    require(std::memcmp(reference.data(), library.data(), reference.size()) == 0, "the literal kernel's samples");
    return 0;
}

// Fuzzes the engine on arbitrary buffers and settings within their ranges.
// Input: 9 bytes of settings, then the buffer (any length, header included).
// Checks: the length, the header and any trailing partial frame are untouched, and a
// second pass over the same input gives the same bytes.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/engine_state.hpp"

namespace {

float settingFromBits(const std::uint8_t* bytes, float lowest, float highest) {
    std::uint32_t bits;
    std::memcpy(&bits, bytes, sizeof bits);
    // The two top values hit the bounds exactly; the rest spread over the range.
    if (bits == 0xFFFFFFFFu) return highest;
    if (bits == 0xFFFFFFFEu) return lowest;
    const float spread = lowest + (highest - lowest) * static_cast<float>(bits >> 8) / 16777215.0f;
    return std::clamp(spread, lowest, highest);
}

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kSettingsBytes = 9;
    if (size < kSettingsBytes) return 0;
    twoband::Settings settings;
    settings.maxGain = settingFromBits(data, twoband::kMaxGainLowest, twoband::kMaxGainHighest);
    settings.recoverSpeed =
        settingFromBits(data + 4, twoband::kRecoverSpeedLowest, twoband::kRecoverSpeedHighest);
    settings.feedbackSpeed = twoband::kFeedbackSpeedLowest + data[8] % 4;

    const std::vector<std::uint8_t> input(data + kSettingsBytes, data + size);
    static std::FILE* const progress = std::fopen("/dev/null", "w");
    std::vector<std::uint8_t> first = input;
    twoband::processBuffer(first, settings, progress);
    std::vector<std::uint8_t> second = input;
    twoband::processBuffer(second, settings, progress);

    require(first.size() == input.size(), "length unchanged");
    const std::size_t header = std::min(input.size(), twoband::kHeaderBytes);
    require(std::equal(input.begin(), input.begin() + header, first.begin()), "header untouched");
    const std::size_t frameBytes =
        input.size() > twoband::kHeaderBytes ? input.size() - twoband::kHeaderBytes : 0;
    const std::size_t tail = input.size() - frameBytes % twoband::kFrameBytes;
    require(std::equal(input.begin() + tail, input.end(), first.begin() + tail),
            "partial frame untouched");
    require(first == second, "same input, same output");
    return 0;
}

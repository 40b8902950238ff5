// Fuzzes the fast kernel against the literal one on arbitrary buffers, settings within
// their ranges and 1 to 6 channels. Input: 9 bytes of settings and channels, then the
// buffer. Checks: the same
// bytes and the same progress output from both.

#include <cstdint>
#include <vector>

#include "engine/engine_state.hpp"
#include "engine/fast_path.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < fuzzing::kSettingsBytes || !twoband::fastPathSupported()) return 0;
    const twoband::Settings settings = fuzzing::settingsFromBytes(data);
    const std::uint16_t channels = fuzzing::channelsFromBytes(data);
    const std::vector<std::uint8_t> input(data + fuzzing::kSettingsBytes, data + size);

    std::vector<std::uint8_t> literal = input;
    fuzzing::compressWhole(literal, settings, twoband::processFrames, channels);
    std::vector<std::uint8_t> fast = input;
    fuzzing::compressWhole(fast, settings, twoband::processFramesFast, channels);
    fuzzing::require(fast == literal, "fast kernel gives the literal kernel's bytes");
    return 0;
}

// Fuzzes the engine on arbitrary buffers, settings within their ranges and 1 to 6
// channels. Input: 9 bytes of settings and channels, then the buffer (any length,
// header included).
// Checks: the length, the header and any trailing partial frame are untouched, and a
// second pass over the same input gives the same bytes.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/engine_state.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using fuzzing::require;
    if (size < fuzzing::kSettingsBytes) return 0;
    const twoband::Settings settings = fuzzing::settingsFromBytes(data);
    const std::uint16_t channels = fuzzing::channelsFromBytes(data);

    const std::vector<std::uint8_t> input(data + fuzzing::kSettingsBytes, data + size);
    std::vector<std::uint8_t> first = input;
    fuzzing::compressWhole(first, settings, twoband::bestFrameKernel(), channels);
    std::vector<std::uint8_t> second = input;
    fuzzing::compressWhole(second, settings, twoband::bestFrameKernel(), channels);

    require(first.size() == input.size(), "length unchanged");
    const std::size_t header = std::min(input.size(), twoband::kHeaderBytes);
    require(std::equal(input.begin(), input.begin() + header, first.begin()), "header untouched");
    const std::size_t frameBytes =
        input.size() > twoband::kHeaderBytes ? input.size() - twoband::kHeaderBytes : 0;
    const std::size_t tail = input.size() - frameBytes % (channels * twoband::kSampleBytes);
    require(std::equal(input.begin() + tail, input.end(), first.begin() + tail),
            "partial frame untouched");
    require(first == second, "same input, same output");
    return 0;
}

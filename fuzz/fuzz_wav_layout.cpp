// Fuzzes the WAV layout on arbitrary files. Input: the file's bytes; when the first
// byte is odd, the rest follows a canonical 44-byte header instead.
// Checks: no read outside the file, samples that start at 44 or later and end inside
// the file, a description for exactly the foreign files, and 44 to the end with
// 16-bit PCM stereo for a canonical header.

#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.hpp"
#include "signals.hpp"
#include "formats/wav_layout.hpp"

namespace {

// The 44-byte header of a plain 16-bit stereo file whose samples are `dataBytes` long.
std::vector<std::uint8_t> canonicalHeader(std::uint32_t dataBytes) {
    std::vector<std::uint8_t> header = signals::wavFile({});
    for (int i = 0; i < 4; ++i) {
        header[4 + i] = static_cast<std::uint8_t>((36 + dataBytes) >> (8 * i));
        header[40 + i] = static_cast<std::uint8_t>(dataBytes >> (8 * i));
    }
    return header;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using fuzzing::require;
    const bool canonical = size > 0 && (data[0] & 1) != 0;
    std::vector<std::uint8_t> file;
    if (canonical) {
        file = canonicalHeader(static_cast<std::uint32_t>(size - 1));
        file.insert(file.end(), data + 1, data + size);
    } else {
        file.assign(data, data + size);
    }

    const std::optional<twoband::WavLayout> layout =
        twoband::findWavLayout(file.size(), [&](std::uint64_t offset, std::span<std::uint8_t> into) {
            require(offset <= file.size() && into.size() <= file.size() - offset, "reads inside the file");
            std::memcpy(into.data(), file.data() + offset, into.size());
            return true;
        });
    require(layout.has_value(), "a layout whenever every read succeeds");
    const twoband::SampleRange samples = layout->samples;
    require(samples.begin >= twoband::kHeaderBytes, "samples start at 44 or later");
    require(samples.begin <= samples.end, "an ordered range");
    require(samples.end <= file.size() || samples.begin == samples.end, "samples inside the file");
    require(layout->foreign.what.empty() == (layout->container != twoband::Container::foreign),
            "a foreign file, and only one, says what it is");
    if (canonical) {
        require(samples.begin == twoband::kHeaderBytes && samples.end == file.size(),
                "a canonical header gives 44 to the end");
        require(layout->format && layout->format->pcm16 && layout->format->channels == 2,
                "a canonical header declares 16-bit PCM stereo");
    }
    return 0;
}

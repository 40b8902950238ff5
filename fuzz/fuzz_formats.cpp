// Fuzzes the readers of WAV files that are not 16-bit PCM and of FLAC files, and the
// writer after each, on arbitrary files. Input: the file's bytes; blocks are cut at a
// number of frames taken from the input's length, so that runs split them differently.
// Checks: reads inside the file; a refused FLAC file says why; a reader gives its
// frames in whole frames and its WAV header before them; what it gives is written
// and the output finished (or refused with a reason) without a fault.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "files/sample_file.hpp"
#include "formats/wav_format.hpp"
#include "fuzz_support.hpp"
#ifdef TWOBAND_HAS_FLAC
#include "formats/flac_format.hpp"
#endif

namespace {

using fuzzing::require;

// More than any reader gives for the largest input here, bar FLAC's long constant blocks.
constexpr std::uint64_t kMostBytes = 8u << 20;

class MemoryInput final : public twoband::Input {
public:
    explicit MemoryInput(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::optional<std::uint64_t> length() const override { return bytes_.size(); }
    std::optional<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> into, std::error_code&) override {
        if (offset >= bytes_.size()) return 0;
        const std::size_t count = std::min<std::uint64_t>(into.size(), bytes_.size() - offset);
        std::memcpy(into.data(), bytes_.data() + offset, count);
        return count;
    }

private:
    std::span<const std::uint8_t> bytes_;
};

class MemorySink final : public twoband::ByteSink {
public:
    void write(std::span<const std::uint8_t> bytes) override { bytes_.insert(bytes_.end(), bytes.begin(), bytes.end()); }
    bool rewrite(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
        require(offset <= bytes_.size() && bytes.size() <= bytes_.size() - offset, "rewrites bytes already written");
        std::copy(bytes.begin(), bytes.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
        return true;
    }

private:
    std::vector<std::uint8_t> bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace twoband;
    MemoryInput input({data, size});
    const std::optional<WavLayout> layout = findWavLayout(size, [&](std::uint64_t offset, std::span<std::uint8_t> into) {
        require(offset <= size && into.size() <= size - offset, "reads inside the file");
        std::memcpy(into.data(), data + offset, into.size());
        return true;
    });
    if (!layout) return 0;

    std::unique_ptr<SampleReader> reader;
    MemorySink sink;
    std::unique_ptr<SampleWriter> writer;
    if (layout->container == Container::foreign) {
#ifdef TWOBAND_HAS_FLAC
        if (layout->foreign.what != kFlacFile) return 0;
        std::string problem;
        reader = flacReader(input, Dither::triangular, problem);
        require(reader != nullptr || !problem.empty(), "a refused FLAC file says why");
        if (reader) writer = flacWriter(sink, *reader, true);
#endif
    } else if (!refusalOf("f", size, *layout) && layout->format && !layout->format->pcm16) {
        reader = convertingWavReader(input, *layout, Dither::triangular);
        writer = wavWriter(sink, reader->sizes(), reader->length(), true);
    }
    if (!reader || !writer) return 0;

    const std::size_t frameBytes = reader->channels() * kSampleBytes;
    require(frameBytes > 0, "at least one channel");
    const SampleRange frames = reader->frames();
    require(frames.begin >= kHeaderBytes && frames.begin <= frames.end, "frames after a WAV header");
    std::vector<std::uint8_t> block(std::max(frameBytes * (1 + size % 1500), std::size_t{kHeaderBytes}));
    std::uint64_t offset = 0;
    std::error_code error;
    while (offset < kMostBytes) {
        const std::optional<std::size_t> got = reader->next(block, error);
        if (!got) return 0;  // refused midway, as a damaged file is
        if (*got == 0) {
            std::string problem;
            require(writer->finish(problem) || !problem.empty(), "a failed finish says why");
            return 0;
        }
        const std::uint64_t end = offset + *got;
        require(end <= frames.begin || end >= frames.end || (end - frames.begin) % frameBytes == 0,
                "blocks end between frames");
        writer->write(std::span(block.data(), *got), offset);
        offset = end;
    }
    return 0;
}
